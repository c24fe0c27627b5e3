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

# What most runs share: no questions, a short update wait, the PC side's address.
QUICK = ["--yes", "--update-wait", "2", "--pc-address", PC]
ADMIN = {"QVR_PASSWORD": "admin"}


def fetched(device, count=1):
    """The device's TFTP fetches, once `count` are logged: each checked byte
    for byte against its --expect-image."""
    return device.wait_event("tftp", count, timeout=RUN_S)


def requests(device):
    """The targets of the HTTP requests the device received."""
    return [e["target"] for e in device.events("request") if "target" in e]
