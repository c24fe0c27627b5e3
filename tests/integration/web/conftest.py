"""The web client's integration tests: the http_probe binary of the native
build against the simulated device and Apache httpd, each on loopback."""
import json
import pathlib
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from harness import BUILD, Device  # noqa: E402


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


@pytest.fixture
def device(tmp_path):
    """device(*options) starts a simulated device on 127.0.0.1, any port."""
    started = []

    def start(*options):
        started.append(Device(tmp_path, *options))
        return started[-1]
    yield start
    for d in started:
        d.stop()
