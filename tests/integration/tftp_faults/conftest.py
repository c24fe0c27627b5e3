import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from harness import FetchingDevice, Server  # noqa: E402


@pytest.fixture
def tftp_pair(tmp_path):
    """tftp_pair(image, *device options, expect=True) -> (server, device):
    tftp_serve serving `image` and a device that has been told to fetch it."""
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
