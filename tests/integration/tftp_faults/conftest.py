"""The fault runs' fixtures live in fault_harness.py, which the tests also
import for its helpers."""
from fault_harness import tftp_pair  # noqa: F401
