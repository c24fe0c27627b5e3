"""What the integration tests share: the native build's tools, the simulated
device (tools/simdevice/device.py) as a process on 127.0.0.1 whose JSON-lines
log is read back, tftp_serve (the programs' own TFTP listener and session)
for one transfer, and test images.  QVR_BUILD_DIR points at another native
build tree (default build/native)."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import urllib.request

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QVR_BUILD_DIR", ROOT / "build" / "native"))
SERVE = BUILD / "tools" / "tftp_serve" / "tftp_serve"
SAMPLE = BUILD / "firmware" / "sample-7.5.6a.bin"
SIMDEVICE = ROOT / "tools" / "simdevice"
NAME = "/qvr1a2b.bi1"
LIMIT_S = 120  # a bound only, never a verdict: it stops a hung peer


class Device:
    """The simulated device, HTTP on any free port; `popen` may start it in
    a private network namespace."""

    def __init__(self, directory, *options, popen=subprocess.Popen):
        self.log_path = directory / f"device-{time.monotonic_ns()}.log"
        self.proc = popen([sys.executable, str(SIMDEVICE / "device.py"), "--address", "127.0.0.1", "--port", "0",
                           "--log", str(self.log_path), *options], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("listening "), f"device did not start: {line!r}"
        self.port = int(line.rsplit(":", 1)[1])

    def events(self, kind="request"):
        lines = self.log_path.read_text().splitlines() if self.log_path.exists() else []
        return [e for e in map(json.loads, lines) if e["event"] == kind]

    def wait_event(self, kind, count=1, timeout=LIMIT_S):
        """The first `count` events of this kind, once logged."""
        deadline = time.monotonic() + timeout
        while len(found := self.events(kind)) < count:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                pytest.fail(f"the device logged {len(found)} {kind!r} events, wanted {count}")
            time.sleep(0.05)
        return found[:count]

    def get(self, target):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}{target}", timeout=10) as answer:
            return answer.status, answer.read().decode("latin-1")

    def upgrade(self, tftp_port, name=NAME):
        return self.get(f"/admin/upgrade?tftp://127.0.0.1:{tftp_port}{name}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)


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


class Server:
    """tftp_serve serving `image` as NAME from port 6969 or the first free one
    above, without the update wait and status request; it ends by itself
    after the transfer, its time-out or LIMIT_S."""

    def __init__(self, image, *options, popen=subprocess.Popen):
        self.image = pathlib.Path(image)
        self.proc = popen([str(SERVE), "--image", str(image), "--file", NAME, "--address", "127.0.0.1",
                           "--port", "6969", "--no-completion", "--limit-seconds", str(LIMIT_S), *options],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        assert line and line[0] == "port", "tftp_serve did not bind"
        self.port = int(line[1])
        self.result = None

    def finish(self):
        """(exit code, stdout, stderr) once it has ended."""
        if self.result is None:
            out, err = self.proc.communicate(timeout=LIMIT_S + 30)
            self.result = (self.proc.returncode, out, err)
        return self.result

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


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
