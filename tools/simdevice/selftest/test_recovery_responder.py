"""The simulated device's recovery responder, which the end-to-end recovery
tests rely on, against a scripted PC in a private network namespace: what it
answers (byte by byte), what it does not, its switches, and a type 2 message
that makes it fetch an image from our own TFTP session over multicast.

Run as root (the namespace):  /usr/bin/python3 -m pytest tools/simdevice/selftest
"""
import pytest

from simdevice.testbed import SERVE, Device, Server, make_image
from recovery_harness import GROUP, PC_PORT, message

SERIAL = b"AB12CD"
QUIET_S = 1.0  # long enough to tell an answer from silence on loopback


def start_device(net, directory, *options):
    return Device(directory, "--auth", "none", "--recovery", "--serial-number", "AB12CD", *options, popen=net.popen)


def test_reply_to_a_discover_for_its_serial_number(private_net, pc, tmp_path):
    device = start_device(private_net, tmp_path, "--product-name", "QVR7x7g", "--mac-address", "00:0E:08:12:34:56",
                          # 23 characters: cut to the field's 20, with no NUL after them.
                          "--hardware-version", "HW-REV-0123456789ABCDE")
    discover = message(0, SERIAL)
    pc.send(discover)
    [(reply, sender)] = pc.receive(QUIET_S)
    assert sender == ("127.0.0.1", 4810)
    assert len(reply) == 100
    assert reply[8:28] == b"AB12CD" + bytes(14)                          # serial number
    assert reply[28:48] == b"QVR7x7g" + bytes(13)                        # product name
    assert reply[48:54] == bytes([0x00, 0x0E, 0x08, 0x12, 0x34, 0x56])   # MAC address
    assert reply[54:74] == b"7.5.5" + bytes(15)                          # software version
    assert reply[74:94] == b"HW-REV-0123456789ABC"                       # hardware version, full
    assert reply[94:98] == bytes([127, 0, 0, 1])                         # its address
    [received] = device.wait_event("recovery-datagram")
    assert received["source"] == ["127.0.0.1", PC_PORT]
    assert (received["length"], received["hex"]) == (160, discover.hex())


def test_answers_nothing_but_its_own_discover(private_net, pc, tmp_path):
    start_device(private_net, tmp_path)
    for data in [message(0, b"AB12C"),                  # a prefix of its serial number
                 message(0, b"AB12CDE"),                # longer
                 message(0, b"ab12cd"),                 # other letter case
                 message(0, SERIAL)[:100],              # cut short
                 message(0, SERIAL)[:4] + b"RECX" + message(0, SERIAL)[8:],  # another magic
                 message(1, SERIAL)]:                   # another type
        pc.send(data)
    assert pc.receive(QUIET_S) == []
    pc.send(message(0, SERIAL))  # still alive
    assert len(pc.receive(QUIET_S, first_only=True)[0][0]) == 100


# The lengths of what arrives after each discover.
@pytest.mark.parametrize("options, answers", [
    (["--recovery-answer-from", "3"], [[], [], [100]]),
    (["--recovery-silent"], [[]]),
    (["--recovery-junk"], [[60, 160, 100]]),
], ids=["answer-from-3", "silent", "junk"])
def test_switches(private_net, pc, tmp_path, options, answers):
    start_device(private_net, tmp_path, *options)
    for expected in answers:
        pc.send(message(0, SERIAL))
        assert [len(data) for data, _ in pc.receive(QUIET_S)] == expected


def test_reply_address_zero_sent_to_the_group(private_net, pc, tmp_path):
    device = start_device(private_net, tmp_path, "--recovery-reply-address", "0.0.0.0", "--recovery-reply-to", "group")
    pc.send(message(0, SERIAL))
    [(reply, _)] = pc.receive(QUIET_S)
    assert reply[94:98] == bytes(4)
    [sent] = device.wait_event("recovery-sent")
    assert sent["destination"] == [GROUP, PC_PORT]


def test_answer_every_discover_names_its_own_serial_number(private_net, pc, tmp_path):
    device = start_device(private_net, tmp_path, "--recovery-answer-every-discover")
    pc.send(message(0, b"SOMEONE-ELSE"))
    [(reply, _)] = pc.receive(QUIET_S)
    assert reply[8:28] == SERIAL + bytes(14)  # its own number, not the one asked for
    # An upgrade message must still name its own number: nothing is fetched.
    pc.send(message(2, b"SOMEONE-ELSE", 69, b"/qvr1.bin"))
    assert pc.receive(QUIET_S) == []
    verdicts = [e["verdict"] for e in device.events("recovery-datagram")]
    assert verdicts == ["discover for 'SOMEONE-ELSE', answered", "dropped: serial number 'SOMEONE-ELSE'"]
    assert device.events("upgrade") == []


@pytest.mark.skipif(not SERVE.exists(), reason="build tools/native/tftp_serve first")
def test_upgrade_message_fetches_the_image_over_multicast(private_net, pc, tmp_path):
    image = make_image(tmp_path, "9.8.7", size=70000)
    device = start_device(private_net, tmp_path, "--expect-image", str(image), "--install-delay", "0",
                          "--tftp-dally", "0.5")
    server = Server(image, "--file", "/qvr1a2b.bin", "--group", GROUP, popen=private_net.popen)
    upgrade = message(2, SERIAL, server.port, b"/qvr1a2b.bin")
    for _ in range(2):  # a PC repeats its message until it has a reply
        pc.send(upgrade)
        assert len(pc.receive(5, first_only=True)[0][0]) == 100

    [tftp] = device.wait_event("tftp")
    assert tftp["ok"], tftp["error"]
    assert tftp["bytes"] == image.stat().st_size
    assert tftp["server"] == f"127.0.0.1:{server.port}" and tftp["group"] == GROUP
    # The OACK and every DATA block came to the group, none to the device.
    assert tftp["arrived_to"] == {"group": tftp["blocks"] + 1, "unicast": 0}
    [installed] = device.wait_event("installed")
    assert installed["version"] == "9.8.7"
    assert "<td>Software Version:</td><td>9.8.7</td>" in private_net.call(device.get, "/admin/advanced")[1]
    verdicts = [e["verdict"] for e in device.events("recovery-datagram")]
    assert verdicts == ["upgrade: fetching, answered", "upgrade: repeat, answered"]
    assert len(device.events("upgrade")) == 1
    assert server.finish()[0] == 0
