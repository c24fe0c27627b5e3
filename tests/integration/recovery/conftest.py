import os
import pathlib
import shutil
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "tools" / "lab"))
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
