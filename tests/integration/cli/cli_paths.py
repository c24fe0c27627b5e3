"""Where the terminal program's tests find things.  Its own module, not
conftest: another folder's conftest may be the one imported under that name
when the integration folders run together."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from harness import BUILD, ROOT, SAMPLE  # noqa: E402,F401

CLI = BUILD / "bin" / "qvr-upgrade"
WIN64 = ROOT / "build" / "win64" / "bin"
PC = "127.0.0.1"
RUN_S = 60  # bound of one run of the program: a hung run fails, nothing is decided on it
