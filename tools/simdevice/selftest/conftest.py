"""Self-tests of the simulated device, which the end-to-end tests rely on:
its install behaviour, its TFTP client against tftpd-hpa, its recovery
responder, and its timing switches.  The device process, tftp_serve and the
test images come from tools/simdevice/testbed.py, which the integration
tests use too; nothing here reaches into tests/.

    /usr/bin/python3 -m pytest -q -p no:cacheprovider tools/simdevice/selftest

The recovery responder's tests run as root (a private network namespace).
"""
import os
import pathlib
import shutil
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tools" / "lab"))
from simdevice.testbed import tftp_pair  # noqa: E402,F401  (the fixture)
from private_net import PrivateNet  # noqa: E402
from recovery_harness import Pc  # noqa: E402


@pytest.fixture
def private_net():
    if os.geteuid() != 0 or not (shutil.which("unshare") and shutil.which("nsenter")):
        pytest.skip("needs root, unshare and nsenter (private network namespace)")
    net = PrivateNet()
    yield net
    net.close()


@pytest.fixture
def pc(private_net):
    side = Pc(private_net)
    yield side
    side.sock.close()
