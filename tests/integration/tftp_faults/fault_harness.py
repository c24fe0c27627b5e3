"""Harness of the fault runs: our TFTP listener and session (tools/native
tftp_serve) serving an image to the simulated device's own TFTP client, both
on loopback, with the device's fault switches.

Run after the native build:
    /usr/bin/python3 -m pytest tests/integration/tftp_faults
QVR_BUILD_DIR points at another native build tree (default build/native).
"""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import urllib.request

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
BUILD = pathlib.Path(os.environ.get("QVR_BUILD_DIR", ROOT / "build" / "native"))
SERVE = BUILD / "tools" / "tftp_serve" / "tftp_serve"
SAMPLE = BUILD / "firmware" / "sample-7.5.6a.bin"
DEVICE = ROOT / "tools" / "simdevice" / "device.py"
MAKE_IMAGE = ROOT / "tools" / "make_image.py"
TRANSITION_VERSION = "7.0.0"
NAME = "/qvr1a2b.bi1"
FIRST_PORT = 6969

# Bounds only, never verdicts: they stop a hung server or device.
SERVE_LIMIT_S = 120
EVENT_WAIT_S = 150


class Server:
    """tftp_serve for one transfer, without the update wait and status
    request; it ends by itself after the transfer or its time-out."""

    def __init__(self, image, first_port=FIRST_PORT):
        self.image = pathlib.Path(image)
        self.proc = subprocess.Popen(
            [str(SERVE), "--image", str(image), "--file", NAME, "--address", "127.0.0.1",
             "--port", str(first_port), "--no-completion", "--limit-seconds", str(SERVE_LIMIT_S)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        assert line and line[0] == "port", "tftp_serve did not bind"
        self.port = int(line[1])
        self.result = None

    def finish(self):
        """(exit code, stdout, stderr) once it has ended."""
        if self.result is None:
            out, err = self.proc.communicate(timeout=SERVE_LIMIT_S + 30)
            self.result = (self.proc.returncode, out, err)
        return self.result

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


class Device:
    """The simulated device on 127.0.0.1 (any port), without authentication,
    checking every fetch against `image`."""

    def __init__(self, directory, image, options):
        self.log_path = directory / f"device-{time.monotonic_ns()}.log"
        self.kept = directory / f"received-{time.monotonic_ns()}"
        self.kept.mkdir()
        args = [sys.executable, str(DEVICE), "--address", "127.0.0.1", "--port", "0", "--auth", "none",
                "--log", str(self.log_path), "--install-delay", "0", "--keep-received", str(self.kept),
                # On loopback a lost final ACK is repeated after 100 ms:
                # half a second of dallying covers it.
                "--tftp-dally", "0.5"]
        if image is not None:
            args += ["--expect-image", str(image)]
        self.proc = subprocess.Popen(args + list(options), stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("listening "), line
        self.port = int(line.rsplit(":", 1)[1])

    def get(self, target):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}{target}", timeout=10) as answer:
            return answer.status, answer.read().decode("latin-1")

    def upgrade(self, tftp_port, name=NAME):
        return self.get(f"/admin/upgrade?tftp://127.0.0.1:{tftp_port}{name}")

    def events(self, kind):
        if not self.log_path.exists():
            return []
        return [e for e in map(json.loads, self.log_path.read_text().splitlines()) if e["event"] == kind]

    def wait_event(self, kind, count=1, timeout=EVENT_WAIT_S):
        """The first `count` events of this kind, once logged."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.events(kind)
            if len(found) >= count:
                return found[:count]
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        pytest.fail(f"the device logged no {kind!r} event")

    def received(self, number=1):
        """The bytes of the n-th fetch as the device kept them."""
        [path] = [p for p in self.kept.iterdir() if p.name.startswith(f"{number}-")]
        return path.read_bytes()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)


def cut_image(directory, size, source=SAMPLE):
    """The first `size` bytes of the sample image (its header included)."""
    path = directory / f"image-{size}.bin"
    path.write_bytes(source.read_bytes()[:size])
    return path


def make_image(directory, version, size=20000):
    """A generated image whose header carries `version`."""
    path = directory / f"image-{version}.bin"
    subprocess.run([sys.executable, str(MAKE_IMAGE), str(path), "--version", version, "--size", str(size)],
                   check=True, timeout=60)
    return path


@pytest.fixture
def tftp_pair(tmp_path):
    """tftp_pair(image, *device options) -> (server, device): tftp_serve
    serving `image` and a device that has been told to fetch it."""
    started = []

    def start(image, *options, expect=True):
        server = Server(image)
        device = Device(tmp_path, image if expect else None, options)
        started.append((server, device))
        status, _ = device.upgrade(server.port)
        assert status == 200
        return server, device

    yield start
    for server, device in started:
        server.kill()
        device.stop()
