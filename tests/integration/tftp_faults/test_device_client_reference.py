"""The simulated device's TFTP client against tftpd-hpa, a server none of us
wrote, on loopback: the client must fetch correctly from a server that
answers from a port of its own, that sends an OACK only for what was asked,
and that retransmits on its own schedule.  This keeps the fault runs honest:
a misreading of the RFCs shared by our server and our client would show up
here."""
import os
import shutil
import socket
import subprocess

import pytest

from fault_harness import SAMPLE, Device

IN_TFTPD = "/usr/sbin/in.tftpd"
NAME = "qvrref.bi1"

pytestmark = pytest.mark.skipif(not (os.path.exists(IN_TFTPD) and SAMPLE.exists()),
                                reason="needs tftpd-hpa and the sample image")


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def tftpd(tmp_path):
    root = tmp_path / "tftpboot"
    root.mkdir()
    os.chmod(tmp_path, 0o755)
    os.chmod(root, 0o755)
    shutil.copyfile(SAMPLE, root / NAME)
    os.chmod(root / NAME, 0o644)
    port = free_udp_port()
    proc = subprocess.Popen([IN_TFTPD, "--foreground", "--address", f"127.0.0.1:{port}", "--secure", str(root)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield port
    proc.kill()
    proc.wait(timeout=10)


def fetch(tmp_path, port, *options):
    device = Device(tmp_path, SAMPLE, options)
    try:
        assert device.upgrade(port, name="/" + NAME)[0] == 200
        [tftp] = device.wait_event("tftp")
        return device, tftp
    finally:
        device.stop()


def test_fetch_with_options(tftpd, tmp_path):
    device, tftp = fetch(tmp_path, tftpd)
    assert tftp["ok"], tftp["error"]
    assert device.received() == SAMPLE.read_bytes()
    assert tftp["oack"] == {"tsize": str(SAMPLE.stat().st_size), "timeout": "5"}
    assert tftp["server_port"] != tftpd, "tftpd-hpa answers from a port of its own"
    assert tftp["notes"] == []


def test_fetch_without_options(tftpd, tmp_path):
    # No options asked: tftpd-hpa sends block 1 straight away, no OACK.
    device, tftp = fetch(tmp_path, tftpd, "--tftp-no-options")
    assert tftp["ok"], tftp["error"]
    assert tftp["oack"] is None and not tftp["unsolicited_oack"]
    assert device.received() == SAMPLE.read_bytes()


def test_fetch_with_lost_acks(tftpd, tmp_path):
    # tftpd-hpa retransmits after the negotiated timeout (1 s here), and so
    # does the client: the second ACK lost may be the client's own repeat.
    device, tftp = fetch(tmp_path, tftpd, "--tftp-timeout-option", "1", "--drop-first-acks", "2")
    assert tftp["ok"], tftp["error"]
    assert tftp["oack"]["timeout"] == "1"
    assert tftp["acks_dropped"] == 2 and tftp["duplicates_received"] >= 1
    assert device.received() == SAMPLE.read_bytes()
