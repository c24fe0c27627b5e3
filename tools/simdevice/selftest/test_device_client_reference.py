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

from simdevice.testbed import SAMPLE, FetchingDevice

IN_TFTPD = "/usr/sbin/in.tftpd"
NAME = "qvrref.bi1"

pytestmark = pytest.mark.skipif(not (os.path.exists(IN_TFTPD) and SAMPLE.exists()),
                                reason="needs tftpd-hpa and the sample image")


@pytest.fixture
def tftpd(tmp_path):
    root = tmp_path / "tftpboot"
    root.mkdir()
    for path in (tmp_path, root):
        os.chmod(path, 0o755)
    shutil.copyfile(SAMPLE, root / NAME)
    os.chmod(root / NAME, 0o644)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([IN_TFTPD, "--foreground", "--address", f"127.0.0.1:{port}", "--secure", str(root)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield port
    proc.kill()
    proc.wait(timeout=10)


TSIZE = str(SAMPLE.stat().st_size) if SAMPLE.exists() else ""


@pytest.mark.parametrize("options, expected, duplicates", [
    ([], {"oack": {"tsize": TSIZE, "timeout": "5"}, "notes": []}, 0),
    # No options asked: tftpd-hpa sends block 1 straight away, no OACK.
    (["--tftp-no-options"], {"oack": None, "unsolicited_oack": False}, 0),
    # tftpd-hpa retransmits after the negotiated timeout (1 s here), and so
    # does the client: the second ACK lost may be the client's own repeat.
    (["--tftp-timeout-option", "1", "--drop-first-acks", "2"],
     {"oack": {"tsize": TSIZE, "timeout": "1"}, "acks_dropped": 2}, 1),
], ids=["options", "no options", "lost ACKs"])
def test_fetch(tftpd, tmp_path, options, expected, duplicates):
    device = FetchingDevice(tmp_path, SAMPLE, *options)
    try:
        assert device.upgrade(tftpd, name="/" + NAME)[0] == 200
        [tftp] = device.wait_event("tftp")
    finally:
        device.stop()
    assert tftp["ok"], tftp["error"]
    assert device.received() == SAMPLE.read_bytes()
    assert tftp["server_port"] != tftpd, "tftpd-hpa answers from a port of its own"
    assert {key: tftp[key] for key in expected} == expected
    assert tftp["duplicates_received"] >= duplicates
