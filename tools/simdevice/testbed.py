"""The simulated device on loopback beside the native build's own tools, for
whoever tests against it: the simulator's self-tests (tools/simdevice/
selftest) and the integration tests (tests/integration/harness.py hands
these on).  On 127.0.0.1: the device process on a free port, tftp_serve
(the programs' own TFTP listener and session) for one transfer, and test
images.  QVR_BUILD_DIR points at a native build tree (default
build/native).
"""
import os
import pathlib
import subprocess
import sys
import time
import urllib.request

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
from native.tftp_serve.process import TftpServe  # noqa: E402
from simdevice.process import DeviceProcess  # noqa: E402

BUILD = pathlib.Path(os.environ.get("QVR_BUILD_DIR", ROOT / "build" / "native"))
SERVE = BUILD / "tools" / "tftp_serve" / "tftp_serve"
SAMPLE = BUILD / "firmware" / "sample-7.5.6a.bin"
NAME = "/qvr1a2b.bi1"


class Device(DeviceProcess):
    """The simulated device, HTTP on any free port of 127.0.0.1; `popen` may
    start it in a private network namespace."""

    def __init__(self, directory, *options, popen=subprocess.Popen):
        super().__init__(directory / f"device-{time.monotonic_ns()}.log", "--address", "127.0.0.1", "--port", "0",
                         *options, popen=popen)

    def get(self, target):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}{target}", timeout=10) as answer:
            return answer.status, answer.read().decode("latin-1")

    def upgrade(self, tftp_port, name=NAME):
        return self.get(f"/admin/upgrade?tftp://127.0.0.1:{tftp_port}{name}")


class FetchingDevice(Device):
    """The device without authentication, installing at once, checking every
    fetch against `image` (None: no check) and keeping what it received."""

    def __init__(self, directory, image, *options):
        self.kept = directory / f"received-{time.monotonic_ns()}"
        self.kept.mkdir()
        expect = ["--expect-image", str(image)] if image is not None else []
        # On loopback a lost final ACK is repeated after 100 ms: half a
        # second of dallying covers it.
        super().__init__(directory, "--auth", "none", "--install-delay", "0", "--keep-received", str(self.kept),
                         "--tftp-dally", "0.5", *expect, *options)

    def received(self, number=1):
        """The bytes of the n-th fetch as the device kept them."""
        return next(self.kept.glob(f"{number}-*")).read_bytes()


def Server(image, *options, popen=subprocess.Popen):
    """The native build's tftp_serve serving `image` as NAME on 127.0.0.1."""
    return TftpServe(SERVE, image, NAME, *options, popen=popen)


def cut_image(directory, size):
    """The first `size` bytes of the sample image (its header included)."""
    path = directory / f"image-{size}.bin"
    path.write_bytes(SAMPLE.read_bytes()[:size])
    return path


def make_image(directory, version, size=20000):
    """A generated image whose header carries `version`."""
    path = directory / f"image-{version}.bin"
    subprocess.run([sys.executable, str(ROOT / "tools" / "make_image.py"), str(path), "--version", version,
                    "--size", str(size)], check=True, timeout=60)
    return path


needs_serve = pytest.mark.skipif(not (SERVE.exists() and SAMPLE.exists()),
                                 reason="build tools/native/tftp_serve and the sample image first")


@pytest.fixture
def tftp_pair(tmp_path):
    """tftp_pair(image, *device options, expect=True) -> (server, device):
    tftp_serve serving `image` and a device that has been told to fetch it.
    Imported by the conftests that use it (the fault runs, the simulated
    device's self-tests)."""
    started = []

    def start(image, *options, expect=True):
        server = Server(image)
        device = FetchingDevice(tmp_path, image if expect else None, *options)
        started.append((server, device))
        assert device.upgrade(server.port)[0] == 200
        return server, device

    yield start
    for server, device in started:
        server.kill()
        device.stop()
