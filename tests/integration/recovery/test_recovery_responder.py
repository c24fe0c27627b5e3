"""The simulated device's recovery responder, which the end-to-end recovery
tests rely on, against a scripted PC in a private network namespace: what it
answers (byte by byte), what it does not, its switches, and a type 2 message
that makes it fetch an image from our own TFTP session over multicast.

Run as root (the namespace):  /usr/bin/python3 -m pytest tests/integration/recovery
The fetch needs the native build's tools/native/tftp_serve.
"""
import subprocess

import pytest

from recovery_harness import GROUP, LOOPBACK, PC_PORT, SERVE, SERVE_LIMIT_S, Device, Pc, make_image, message

SERIAL = b"AB12CD"
IDENTITY = ["--product-name", "QVR7x7g", "--mac-address", "00:0E:08:12:34:56", "--software-version", "7.5.5",
            # 23 characters: cut to the field's 20, with no NUL after them.
            "--hardware-version", "HW-REV-0123456789ABCDE"]
# Long enough to tell an answer from silence on loopback.
QUIET_S = 1.0


@pytest.fixture
def pc(private_net):
    side = Pc(private_net)
    yield side
    side.close()


def test_reply_to_a_discover_for_its_serial_number(private_net, pc, tmp_path):
    device = Device(private_net, tmp_path, *IDENTITY)
    discover = message(0, SERIAL)
    pc.send(discover)
    reply, sender = pc.receive_one()
    assert sender == (LOOPBACK, 4810)
    assert len(reply) == 100
    assert reply[8:28] == b"AB12CD" + bytes(14)                          # serial number
    assert reply[28:48] == b"QVR7x7g" + bytes(13)                        # product name
    assert reply[48:54] == bytes([0x00, 0x0E, 0x08, 0x12, 0x34, 0x56])   # MAC address
    assert reply[54:74] == b"7.5.5" + bytes(15)                          # software version
    assert reply[74:94] == b"HW-REV-0123456789ABC"                       # hardware version, full
    assert reply[94:98] == bytes([127, 0, 0, 1])                         # its address
    assert pc.receive(QUIET_S) == []

    [received] = device.wait_event("recovery-datagram")
    assert received["source"] == [LOOPBACK, PC_PORT]
    assert (received["length"], received["hex"]) == (160, discover.hex())
    [sent] = device.wait_event("recovery-sent")
    assert (sent["kind"], sent["destination"], sent["length"]) == ("reply", [LOOPBACK, PC_PORT], 100)


def test_answers_nothing_but_its_own_discover(private_net, pc, tmp_path):
    device = Device(private_net, tmp_path)
    not_for_it = [
        message(0, b"AB12C"),                        # a prefix of its serial number
        message(0, b"AB12CDE"),                      # longer
        message(0, b"ab12cd"),                       # other letter case
        message(0, SERIAL)[:100],                    # cut short
        message(0, SERIAL)[:4] + b"RECX" + message(0, SERIAL)[8:],  # another magic
        message(1, SERIAL),                          # another type
    ]
    for data in not_for_it:
        pc.send(data)
    assert pc.receive(QUIET_S) == []
    verdicts = [e["verdict"] for e in device.wait_event("recovery-datagram", len(not_for_it))]
    assert all(v.startswith("dropped: ") for v in verdicts), verdicts
    # Still alive: its own serial number is answered.
    pc.send(message(0, SERIAL))
    assert len(pc.receive_one()[0]) == 100


def test_answers_from_the_third_discover(private_net, pc, tmp_path):
    Device(private_net, tmp_path, "--recovery-answer-from", "3")
    for _ in range(2):
        pc.send(message(0, SERIAL))
        assert pc.receive(QUIET_S) == []
    pc.send(message(0, SERIAL))
    assert len(pc.receive_one()[0]) == 100


def test_silent_device(private_net, pc, tmp_path):
    device = Device(private_net, tmp_path, "--recovery-silent")
    pc.send(message(0, SERIAL))
    assert pc.receive(QUIET_S) == []
    [received] = device.wait_event("recovery-datagram")
    assert received["verdict"] == "discover 1, silent"


def test_junk_before_the_reply(private_net, pc, tmp_path):
    Device(private_net, tmp_path, "--recovery-junk")
    pc.send(message(0, SERIAL))
    lengths = [len(data) for data, _ in pc.receive(QUIET_S)]
    assert lengths == [60, 160, 100]


def test_reply_address_zero_sent_to_the_group(private_net, pc, tmp_path):
    device = Device(private_net, tmp_path, "--recovery-reply-address", "0.0.0.0", "--recovery-reply-to", "group")
    pc.send(message(0, SERIAL))
    reply, _ = pc.receive_one()
    assert reply[94:98] == bytes(4)
    [sent] = device.wait_event("recovery-sent")
    assert sent["destination"] == [GROUP, PC_PORT]


@pytest.mark.skipif(not SERVE.exists(), reason="build tools/native/tftp_serve first")
def test_upgrade_message_fetches_the_image_over_multicast(private_net, pc, tmp_path):
    image = make_image(tmp_path, "9.8.7", size=70000)
    device = Device(private_net, tmp_path, "--expect-image", str(image), "--install-delay", "0",
                    "--tftp-dally", "0.5")
    server = private_net.popen([str(SERVE), "--image", str(image), "--file", "/qvr1a2b.bin", "--address", LOOPBACK,
                                "--port", "6969", "--group", GROUP, "--no-completion",
                                "--limit-seconds", str(SERVE_LIMIT_S)], stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline().split()
    assert line[0] == "port", line
    upgrade = message(2, SERIAL, int(line[1]), b"/qvr1a2b.bin")
    pc.send(upgrade)
    assert len(pc.receive_one()[0]) == 100
    pc.send(upgrade)  # a PC repeats its message until it has a reply
    assert len(pc.receive_one()[0]) == 100

    [tftp] = device.wait_event("tftp")
    assert tftp["ok"], tftp["error"]
    assert tftp["bytes"] == image.stat().st_size
    assert tftp["server"] == f"{LOOPBACK}:{line[1]}" and tftp["group"] == GROUP
    # The OACK and every DATA block came to the group, none to the device.
    assert tftp["arrived_to"] == {"group": tftp["blocks"] + 1, "unicast": 0}
    [installed] = device.wait_event("installed")
    assert installed["version"] == "9.8.7"
    assert "<td>Software Version:</td><td>9.8.7</td>" in device.status_page()
    verdicts = [e["verdict"] for e in device.events("recovery-datagram")]
    assert verdicts == ["upgrade: fetching, answered", "upgrade: repeat, answered"]
    assert len(device.events("upgrade")) == 1
    assert server.wait(timeout=SERVE_LIMIT_S) == 0
