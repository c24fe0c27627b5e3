"""The device's web-side fault switches, which the terminal program's
deadline, refusal and inert-text tests rely on: a web server that never
answers, an upgrade command installed but never answered or refused with an
error status, identity texts sent exactly as given (line ends, character
references, control characters), a status page without identity fields, a
fetch that starts late, and a device asking for another device's file."""
import socket
import urllib.error

import pytest

from simdevice.testbed import NAME, SAMPLE, Device, FetchingDevice, Server, cut_image, needs_serve

COMMAND = "/admin/upgrade?tftp://127.0.0.1:{port}/qvr1a2b.bi1"


def send(port, target):
    """An open connection that has sent one request for `target`."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(f"GET {target} HTTP/1.1\r\nHost: 192.168.2.110\r\n\r\n".encode())
    return s


def silent_for(s, seconds):
    """True when nothing came on the connection within `seconds` and it is
    still open."""
    s.settimeout(seconds)
    try:
        s.recv(4096)
    except TimeoutError:
        return True
    return False


def page(device):
    status, text = device.get("/admin/advanced")
    assert status == 200
    return text


def test_mute_web_server_holds_until_the_client_goes_and_stops_cleanly(tmp_path):
    device = Device(tmp_path, "--auth", "none", "--mute")
    try:
        with send(device.port, "/admin/advanced") as s:
            assert silent_for(s, 1.0)
        [mute] = device.wait_event("mute")
        assert mute["ended"] == "client closed"
        assert mute["received"].startswith("GET /admin/advanced HTTP/1.1\r\n")
        # A connection still held does not keep the simulator from stopping.
        held = send(device.port, "/admin/advanced")
        assert silent_for(held, 0.5)
        device.stop()
        assert device.proc.returncode == 0, "the simulator had to be killed"
        held.close()
    finally:
        device.stop()


@needs_serve
def test_mute_upgrade_fetches_and_installs_but_never_answers(tmp_path):
    server = Server(SAMPLE)
    device = FetchingDevice(tmp_path, SAMPLE, "--mute-upgrade")
    try:
        with send(device.port, COMMAND.format(port=server.port)) as s:
            [installed] = device.wait_event("installed")
            assert installed["version"] == "7.5.6a"
            assert silent_for(s, 0.5), "the upgrade command was answered"
            # The status page still answers, with the new version.
            assert "Software Version:</td><td>7.5.6a<" in page(device)
        [mute] = device.wait_event("mute")
        assert mute["why"] == "mute upgrade" and mute["ended"] == "client closed"
    finally:
        server.kill()
        device.stop()


@pytest.mark.parametrize("status", [503, 404])
def test_refused_upgrade_answers_the_status_and_fetches_nothing(tmp_path, status):
    device = Device(tmp_path, "--auth", "none", "--refuse-upgrade", str(status))
    try:
        with pytest.raises(urllib.error.HTTPError) as refused:
            device.upgrade(9)
        assert refused.value.code == status
        [event] = device.events("upgrade-refused")
        assert event["status"] == status and event["name"] == "/qvr1a2b.bi1"
        assert device.events("upgrade") == [], "a refused command must not start a fetch"
    finally:
        device.stop()


# Line ends, a character reference and control characters reach the cell
# byte for byte; without --escaped-fields a backslash is only a backslash.
@pytest.mark.parametrize("options, cells", [
    (["--escaped-fields", "--product-name", r"QVR6880\r\n"], ["<td>QVR6880\r\n</td>"]),
    (["--product-name", "QVR&#45;6900"], ["<td>QVR&#45;6900</td>"]),
    (["--escaped-fields", "--serial-number", r"QVR\x1b]0;pwned\x07", "--software-version", r"7.5\x1b[2J\x7f"],
     ["<td>QVR\x1b]0;pwned\x07</td>", "<td>7.5\x1b[2J\x7f</td>"]),
    (["--serial-number", r"QVR\x1b"], ["<td>QVR\\x1b</td>"]),
])
def test_identity_texts_sent_as_given(tmp_path, options, cells):
    device = Device(tmp_path, "--auth", "none", *options)
    try:
        text = page(device)
        for cell in cells:
            assert cell in text
    finally:
        device.stop()


def test_status_page_without_identity_fields(tmp_path):
    device = Device(tmp_path, "--auth", "none", "--no-identity")
    try:
        text = page(device)
        assert "<body>" in text and ":</td>" not in text
        for label in ("Product Name:", "MAC Address:", "Software Version:", "Hardware Version:", "Serial Number:"):
            assert label not in text
    finally:
        device.stop()


@needs_serve
def test_fetch_delay_starts_the_fetch_late_and_keeps_the_device_busy(tmp_path):
    server = Server(SAMPLE)
    device = FetchingDevice(tmp_path, SAMPLE, "--fetch-delay", "1.5")
    try:
        assert device.upgrade(server.port)[0] == 200
        with pytest.raises(urllib.error.HTTPError) as busy:
            device.upgrade(server.port)
        assert busy.value.code == 503
        [delayed] = device.wait_event("fetch-delayed")
        [tftp] = device.wait_event("tftp")
        assert tftp["ok"]
        command = device.events("upgrade")[0]
        assert delayed["time"] - command["time"] >= 1.5
    finally:
        server.kill()
        device.stop()


@needs_serve
def test_steal_asks_for_the_name_another_device_was_given(tmp_path):
    # tftp_serve hands its one file to whoever asks for its name, so the
    # thief gets it: proof that it asked for the other device's name, and
    # that what it got is counted, not kept or installed.
    image = cut_image(tmp_path, 20000)
    server = Server(image)
    victim = Device(tmp_path, "--auth", "none", "--no-fetch")
    # Its own fetch finds the server gone: it gives up soon.
    thief = FetchingDevice(tmp_path, image, "--steal-name-from", victim.log_path, "--tftp-wait", "0.2",
                           "--tftp-retries", "1")
    try:
        assert victim.upgrade(server.port)[0] == 200
        assert thief.upgrade(server.port, name="/qvr0thief.bi1")[0] == 200
        [steal] = thief.wait_event("steal")
        assert steal["name"] == NAME and steal["ok"] and steal["bytes"] == 20000, steal
        [own] = thief.wait_event("tftp")
        assert own["name"] == "/qvr0thief.bi1" and not own["ok"]
        assert not thief.events("installed") and not list(thief.kept.iterdir())
    finally:
        server.kill()
        victim.stop()
        thief.stop()
