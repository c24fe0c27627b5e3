"""The recovery runs' fixtures live in recovery_harness.py, which the tests also
import for its helpers."""
from recovery_harness import private_net  # noqa: F401
