"""Fixtures for the web client's integration tests: the http_probe binary of
the native build, the simulated device and Apache httpd, each on loopback.

Run: /usr/bin/python3 -m pytest tests/integration/web
The build directory is build/native unless QVR_BUILD_DIR says otherwise."""
import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
BUILD = Path(os.environ.get("QVR_BUILD_DIR", ROOT / "build" / "native"))
DEVICE = ROOT / "tools" / "simdevice" / "device.py"
sys.path.insert(0, str(DEVICE.parent))


@pytest.fixture
def probe():
    """probe(port, *options, deliverable="staged") -> the probe's JSON."""
    def run(port, *options, deliverable="staged"):
        binary = BUILD / "tools" / "http_probe" / f"http_probe_{deliverable}"
        if not binary.exists():
            pytest.skip(f"{binary} not built")
        done = subprocess.run([str(binary), "--device", "127.0.0.1", "--port", str(port), *options],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)
    return run


class Device:
    def __init__(self, tmp_path, options):
        self.log_path = tmp_path / f"device-{time.monotonic_ns()}.log"
        self.process = subprocess.Popen([sys.executable, str(DEVICE), "--address", "127.0.0.1", "--port", "0",
                                         "--log", str(self.log_path), *options],
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()  # "listening 127.0.0.1:PORT"
        assert line.startswith("listening "), line
        self.port = int(line.rsplit(":", 1)[1])

    def events(self, kind="request"):
        return [e for e in map(json.loads, self.log_path.read_text().splitlines()) if e["event"] == kind]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


@pytest.fixture
def device(tmp_path):
    """device(*options) starts a simulated device on 127.0.0.1, any port."""
    started = []

    def start(*options):
        started.append(Device(tmp_path, options))
        return started[-1]
    yield start
    for d in started:
        d.stop()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
