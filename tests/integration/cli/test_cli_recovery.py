"""qvr-upgrade recover against simulated devices in a private namespace:
which reply is the device (its serial number, sent to the PC or to the
group), what its address must be before anything is sent to it, and that
the image goes to that address alone."""
import re
import select
import socket
import subprocess
import time

import pytest

from cli_paths import PC, QUICK, RUN_S
from harness import make_image

GROUP = "234.4.8.10"
DEVICE_PORT = 4810
PC_PORT = 4811
SERIAL = "QVR00ABC12"


@pytest.fixture
def image(tmp_path):
    return make_image(tmp_path, "7.6.1", size=40000)


def recovering_device(lab, address, image, *options, serial=SERIAL):
    return lab.device(address, "--recovery", "--serial-number", serial, "--expect-image", image, "--auth", "none",
                      *options)


def recovered(lab, device, image):
    """Runs recover: the device at 127.0.0.2 must be found and recovered."""
    code, out, err = lab.run("recover", SERIAL, "--image", image, *QUICK)
    assert code == 0 and "found at 127.0.0.2" in out, err
    assert device.wait_event("tftp", timeout=RUN_S)[0]["ok"]
    assert out.splitlines()[-1] == f"QVR@{SERIAL}: recovered to 7.6.1"
    return out


# Regression: the recovery socket was bound to the PC address only, and on
# Linux such a socket never receives a datagram addressed to the group.
def test_device_replying_to_the_group_is_found(lab, image):
    device = recovering_device(lab, "127.0.0.2", image, "--recovery-reply-to", "group")
    recovered(lab, device, image)
    assert {tuple(e["destination"]) for e in device.events("recovery-sent")} == {(GROUP, PC_PORT)}


# Regression: the first 100-byte reply was taken, so a device answering
# every discovery with its own serial number was recovered in place of the
# one asked for.  The right one answers from its second discover on, so the
# other's reply to the first is surely read and counted.
def test_only_the_serial_number_asked_for_is_recovered(lab, image):
    stranger = recovering_device(lab, "127.0.0.3", image, "--recovery-answer-every-discover", serial="OTHER9")
    device = recovering_device(lab, "127.0.0.2", image, "--recovery-answer-from", "2")
    out = recovered(lab, device, image)
    ignored = re.search(r"ignored (\d+) repl(?:y|ies) naming (?:an)?other serial numbers?", out)
    assert ignored and int(ignored.group(1)) >= 1, out
    # The stranger answered, was told nothing and fetched nothing.
    assert any(e["verdict"] == f"discover for {SERIAL!r}, answered" for e in stranger.events("recovery-datagram"))
    assert stranger.events("upgrade") == [] and stranger.events("tftp") == []


def test_reply_naming_no_unicast_address_fails_before_anything_is_sent(lab, image):
    device = recovering_device(lab, "127.0.0.2", image, "--recovery-reply-address", "224.0.0.1")
    code, out, err = lab.run("recover", SERIAL, "--image", image, *QUICK)
    assert code == 1 and "told to fetch" not in out
    assert (f"QVR@{SERIAL}: Recovery Failed: the device's reply gives 224.0.0.1, a multicast address; nothing was "
            "sent to it") in err
    types = {bytes.fromhex(e["hex"])[0] for e in device.events("recovery-datagram") if e["length"] == 160}
    assert types == {0}, "no upgrade message, only discovers"
    assert device.events("request") == [] and device.events("upgrade") == []


def eavesdrop():
    """Another host on the LAN (127.0.0.4): hears the upgrade message sent to
    the group, asks the PC for the file it names, and returns whether it
    asked and every datagram the PC sent back within 3 s, to its address or
    (as the PC serves in recovery) to the group on its port."""
    hear, ask, group_answers = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3))
    hear.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    hear.bind(("0.0.0.0", DEVICE_PORT))
    ask.bind(("127.0.0.4", 0))
    group_answers.bind((GROUP, ask.getsockname()[1]))
    for s in (hear, group_answers):
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.4"))
    answers, asked_at, deadline = [], None, time.monotonic() + RUN_S
    while time.monotonic() < min(deadline, (asked_at or deadline) + 3):
        for s in select.select([hear, ask, group_answers], [], [], 0.1)[0]:
            data = s.recv(2048)
            if s is not hear:
                answers.append(data)
            elif len(data) == 160 and data[0] == 2 and asked_at is None:
                name = data[32:160].split(b"\0", 1)[0]
                ask.sendto(b"\0\1" + name + b"\0octet\0", (PC, int.from_bytes(data[28:30], "big")))  # RRQ
                asked_at = time.monotonic()
    for s in (hear, ask, group_answers):
        s.close()
    return asked_at is not None, answers


# The upgrade message goes to the group with the file name in it, so anyone
# on the LAN learns the name: the image goes to the address the discovery
# found and to no one else who asks.  The device waits two seconds before it
# asks, so the other host's request is the first to come.
def test_image_goes_to_the_discovered_device_alone(lab, image):
    device = recovering_device(lab, "127.0.0.2", image, "--fetch-delay", "2")
    proc = lab.popen("recover", SERIAL, "--image", image, *QUICK, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                     text=True)
    asked, answers = lab.net.call(eavesdrop)
    out, err = proc.communicate(timeout=RUN_S)
    assert proc.returncode == 0 and asked, err
    assert device.wait_event("tftp", timeout=RUN_S)[0]["ok"]
    assert not any(a[:2] in (b"\0\3", b"\0\6") for a in answers), "no DATA or OACK to the other host"
