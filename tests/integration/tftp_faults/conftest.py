import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from harness import tftp_pair  # noqa: E402,F401  (the fixture)
