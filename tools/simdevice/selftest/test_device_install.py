"""The simulated device's side of an upgrade, which the end-to-end tests rely
on: what its status page says before, during and after the install, that it
refuses an image that is not the one expected, and that it is deaf while it
installs when told to be."""
import http.client
import urllib.error

import pytest

from simdevice.testbed import SAMPLE, cut_image, make_image, needs_serve

pytestmark = needs_serve

OLD_VERSION = "7.5.5"  # the device's version before any upgrade


def status_version(device):
    status, page = device.get("/admin/advanced")
    assert status == 200
    return page.split("Software Version:</td><td>", 1)[1].split("<", 1)[0]


# From the received header, unless it is told to report another.
@pytest.mark.parametrize("version, options", [("7.5.6a", []), ("7.5.6A", ["--report-version", "7.5.6A"]),
                                              ("7.0.0", [])])
def test_reports_the_version_installed(tftp_pair, tmp_path, version, options):
    image = make_image(tmp_path, version) if version == "7.0.0" else SAMPLE
    server, device = tftp_pair(image, *options)
    device.wait_event("installed")
    assert status_version(device) == version


def test_while_installing_old_version_and_refuses_a_second_command(tftp_pair):
    server, device = tftp_pair(SAMPLE, "--install-delay", "3600")
    device.wait_event("installing")
    assert status_version(device) == OLD_VERSION
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


# Served: the sample cut short by one byte, or with one byte changed;
# expected: the whole sample.
@pytest.mark.parametrize("fault", ["short", "changed"])
def test_refuses_an_image_that_is_not_the_expected_one(tftp_pair, tmp_path, fault):
    size = SAMPLE.stat().st_size
    served, error = cut_image(tmp_path, size - 1), f"received {size - 1} bytes, expected {size}"
    if fault == "changed":
        data = bytearray(SAMPLE.read_bytes())
        data[300000] ^= 0x01
        served.write_bytes(bytes(data))
        error = "byte 300000 differs from the expected image"
    server, device = tftp_pair(served, "--expect-image", str(SAMPLE), expect=False)
    [tftp] = device.wait_event("tftp")
    assert not tftp["ok"] and tftp["error"] == error
    assert status_version(device) == OLD_VERSION
    assert device.events("installed") == []
