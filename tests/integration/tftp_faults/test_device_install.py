"""The simulated device's side of an upgrade, which the end-to-end tests rely
on: what its status page says before, during and after the install, that it
refuses an image that is not the one expected, and that it is deaf while it
installs when told to be."""
import http.client
import urllib.error

import pytest

from fault_harness import SAMPLE, SERVE, TRANSITION_VERSION, cut_image, make_image

pytestmark = pytest.mark.skipif(not (SERVE.exists() and SAMPLE.exists()),
                                reason="build tools/native/tftp_serve and the sample image first")

OLD_VERSION = "7.5.5"  # the device's version before any upgrade


def status_version(device):
    status, page = device.get("/admin/advanced")
    assert status == 200
    return page.split("Software Version:</td><td>", 1)[1].split("<", 1)[0]


def test_reports_the_version_of_the_image_it_installed(tftp_pair):
    server, device = tftp_pair(SAMPLE)
    [installed] = device.wait_event("installed")
    assert installed["version"] == "7.5.6a"
    assert status_version(device) == "7.5.6a"


def test_reports_the_version_it_is_told_to(tftp_pair):
    server, device = tftp_pair(SAMPLE, "--report-version", "7.5.6A")
    device.wait_event("installed")
    assert status_version(device) == "7.5.6A"


def test_version_read_from_the_received_header(tftp_pair, tmp_path):
    image = make_image(tmp_path, TRANSITION_VERSION)
    server, device = tftp_pair(image)
    device.wait_event("installed")
    assert status_version(device) == TRANSITION_VERSION


def test_answers_with_the_old_version_while_installing(tftp_pair):
    server, device = tftp_pair(SAMPLE, "--install-delay", "3600")
    device.wait_event("installing")
    assert status_version(device) == OLD_VERSION
    # A second command meanwhile is refused.
    with pytest.raises(urllib.error.HTTPError) as refused:
        device.upgrade(server.port)
    assert refused.value.code == 503


def test_silent_while_installing(tftp_pair):
    server, device = tftp_pair(SAMPLE, "--install-delay", "3600", "--silent-while-installing")
    device.wait_event("installing")
    with pytest.raises((http.client.RemoteDisconnected, ConnectionResetError, urllib.error.URLError)):
        device.get("/admin/advanced")
    [silent] = [e for e in device.events("request") if e["verdict"] == "silent: installing"]
    assert silent["request_line"] == "GET /admin/advanced HTTP/1.1"


def test_refuses_an_image_that_is_not_the_expected_one(tftp_pair, tmp_path):
    # Served: the sample cut short by one byte; expected: the whole sample.
    short = cut_image(tmp_path, SAMPLE.stat().st_size - 1)
    server, device = tftp_pair(short, "--expect-image", str(SAMPLE), expect=False)
    [tftp] = device.wait_event("tftp")
    assert not tftp["ok"]
    assert tftp["error"] == f"received {SAMPLE.stat().st_size - 1} bytes, expected {SAMPLE.stat().st_size}"
    assert status_version(device) == OLD_VERSION
    assert device.events("installed") == []


def test_refuses_an_image_with_one_byte_changed(tftp_pair, tmp_path):
    data = bytearray(SAMPLE.read_bytes())
    data[300000] ^= 0x01
    changed = tmp_path / "changed.bin"
    changed.write_bytes(bytes(data))
    server, device = tftp_pair(changed, "--expect-image", str(SAMPLE), expect=False)
    [tftp] = device.wait_event("tftp")
    assert tftp["error"] == "byte 300000 differs from the expected image"
    assert device.events("installed") == []
