"""What the integration tests share: the native build's tools, the simulated
device on 127.0.0.1, tftp_serve (the programs' own TFTP listener and
session) for one transfer, and test images.  They live with the simulated
device (tools/simdevice/testbed.py), whose self-tests use them too; this
module hands them on under the name the tests import.  QVR_BUILD_DIR points
at another native build tree (default build/native)."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from simdevice.testbed import (BUILD, NAME, ROOT, SAMPLE, SERVE, Device, FetchingDevice, Server,  # noqa: E402,F401
                               cut_image, make_image, needs_serve, tftp_pair)
