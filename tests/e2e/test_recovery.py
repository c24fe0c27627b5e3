"""Recoveries under Wine against the simulated device's recovery responder in
the device namespace: the program finds the device by the serial number the
user types (multicast on 234.4.8.10), shows what the device replied, tells it
to fetch the image and serves it to the group; the device checks every byte,
installs it and reports the new version.  The device's log of the datagrams
it received on port 4810 shows what the program sent, byte by byte.

The shipped program runs once with its full update wait (125 s); the other
cases use the variants whose images name no catalogued product (50 s) or
stop before the wait.
"""
import re

import pytest

import netns
from jobs import recovery_job
from recovery_flow import (INTRO_TEXT, LED_TEXT, LOCAL_ADDRESS_LIST_ID, NOT_FOUND, PHONE_TEXT, RECOVERY_DISCOVER,
                           RECOVERY_TITLE, RECOVERY_UPGRADE, RecoveryWalk, received_messages, recovery_options,
                           serial_field)
from upgrade_flow import (IDCANCEL, ODM_IMAGE, PC_ADDRESS, RECOVERY, RECOVERY_ODM, SAMPLE_IMAGE,
                          SimDevice, image_bytes)

RECOVERY_PHONE = "variants/recovery-upgrader-phone.exe"
GROUP = "234.4.8.10"
PC_PORT = 4811
SERIAL = "AB12CD"
USER_ABORT = "Upgrade Failed: User Abort"


def say(line):
    print(f"recovery job: {line}", flush=True)


def check_message(data, kind, serial):
    """A 160-byte message of this type for this serial number; for type 2
    returns (TFTP port, file name)."""
    assert len(data) == 160
    assert data[0] == kind and data[1:4] == bytes(3)            # type, reserved
    assert data[4:8] == b"RECM"                                 # magic
    assert serial_field(data) == serial.encode().ljust(20, b"\0")
    if kind == RECOVERY_DISCOVER:
        assert data[28:] == bytes(132)                          # port, reserved, name: zero
        return None
    assert data[30:32] == bytes(2)                              # reserved
    name, _, rest = data[32:].partition(b"\0")
    assert rest == bytes(len(rest))                             # NUL to the end of the field
    assert re.fullmatch(rb"/qvr[0-9a-f]{1,4}\.bin", name), name
    return int.from_bytes(data[28:30], "big"), name.decode()


def check_recovery_fetch(device, image_path, pc_address):
    """The device's one fetch: the whole image, from the listener on the PC
    address, with the OACK and every block sent to the group."""
    [tftp] = device.wait_event("tftp")
    assert tftp["ok"], tftp["error"]
    assert tftp["expected"] == image_path and tftp["bytes"] == len(image_bytes(image_path))
    assert tftp["server"].split(":")[0] == pc_address and tftp["group"] == GROUP
    assert tftp["oack"] == {"tsize": str(tftp["bytes"]), "timeout": "5"}
    # The OACK and every block at least once (repeats may come too).
    assert tftp["arrived_to"]["unicast"] == 0 and tftp["arrived_to"]["group"] >= tftp["blocks"] + 1
    assert tftp["stranger_ack_accepted"] == 0 and tftp["unknown_tid"] == 0
    return tftp


def check_messages(device, serial, pc_address, discovers):
    """What the device received: `discovers` discover messages, then one
    upgrade message naming the listener's port and a fresh file name, all
    from the chosen PC address's port 4811.  Returns (port, name)."""
    messages = received_messages(device)
    assert [(a, p) for a, p, _ in messages] == [(pc_address, PC_PORT)] * len(messages)
    assert [data[0] for _, _, data in messages] == [RECOVERY_DISCOVER] * discovers + [RECOVERY_UPGRADE]
    for _, _, data in messages[:-1]:
        check_message(data, RECOVERY_DISCOVER, serial)
    port, name = check_message(messages[-1][2], RECOVERY_UPGRADE, serial)
    [command] = device.events("upgrade")
    assert (command["host"], command["port"], command["name"], command["group"]) == (pc_address, port, name, GROUP)
    assert 69 <= port <= 168
    return port, name


@pytest.fixture
def second_link():
    netns.add_second_link()
    yield
    netns.remove_second_link()


def test_whole_recovery_of_the_shipped_image(driver, run_program, device_ns, request):
    # The job that `scripts/run --recovery` shows, checked.
    print()
    result = recovery_job(driver, run_program, device_ns, say, name=request.node.name)
    device = result.device
    assert (result.outcome, result.version, result.code) == ("success", "7.5.6a", 0)
    check_recovery_fetch(device, SAMPLE_IMAGE, PC_ADDRESS)
    # The recovery dialog's texts; "ab12cd" typed shows in upper case, and
    # titles the connecting dialog; the confirm dialog shows the reply.
    assert result.walk.dialog_texts == (INTRO_TEXT, "Version 7.5.6a", LED_TEXT)
    assert result.walk.entered == (SERIAL, PC_ADDRESS)
    assert f"Connecting with QVR@{SERIAL}" in result.walk.met
    assert result.walk.confirmed_fields == {"serial_number": SERIAL, "mac_address": "000E08123456",
                                            "software_version": "7.5.5", "hardware_version": "1.0",
                                            "product_name": "QVR7x7g"}
    # Two discovers, then the upgrade message; the status request after the
    # update wait started no second discovery.
    check_messages(device, SERIAL, PC_ADDRESS, discovers=2)
    assert device.events("installed")[0]["version"] == "7.5.6a"
    assert [(e["target"], e["verdict"]) for e in device.events("request")] == [("/admin/advanced", "ok")]


@pytest.mark.parametrize("cancel", [False, True], ids=["no-answer", "cancel"])
def test_device_not_found(driver, run_program, device_ns, request, cancel):
    device = SimDevice(device_ns, request.node.name, recovery_options(SERIAL, [], "--recovery-silent"))
    program = run_program(RECOVERY)
    walk = RecoveryWalk(driver, program, "QVR7x7g", "7.5.6a")
    walk.open_recovery_dialog()
    walk.enter_serial("ab12cd")
    handle, title = walk.wait_connecting()
    assert title == f"Connecting with QVR@{SERIAL}"
    if cancel:
        driver.click("@" + handle, IDCANCEL)
    outcome, text, _ = walk.discovery()
    assert (outcome, text) == ("error", NOT_FOUND)
    assert program.wait_exit() == 0
    messages = received_messages(device)
    if not cancel:
        assert len(messages) == 5
    assert messages, "the discovery sent nothing"
    for _, _, data in messages:
        check_message(data, RECOVERY_DISCOVER, SERIAL)


def test_reply_without_address_ends_quietly(driver, run_program, device_ns, request):
    device = SimDevice(device_ns, request.node.name,
                       recovery_options(SERIAL, [], "--recovery-reply-address", "0.0.0.0"))
    program = run_program(RECOVERY)
    walk = RecoveryWalk(driver, program, "QVR7x7g", "7.5.6a")
    walk.open_recovery_dialog()
    walk.enter_serial("ab12cd")
    outcome, _, _ = walk.discovery()
    assert outcome == "ended"
    assert program.wait_exit() == 0
    assert [data[0] for _, _, data in received_messages(device)] == [RECOVERY_DISCOVER]
    assert device.events("recovery-sent")[0]["length"] == 100
    assert device.events("upgrade") == []


def test_second_pc_address_chosen(driver, run_program, device_ns, request, second_link):
    # The device sits on the second link only: a discover sent through the
    # first interface never reaches it.  It replies to the group, which
    # reaches the program only through a membership on the second interface.
    device = SimDevice(device_ns, request.node.name,
                       recovery_options(SERIAL, [ODM_IMAGE], "--recovery-junk", "--recovery-reply-to", "group",
                                        "--install-delay", "0"),
                       address=netns.SECOND_DEVICE_ADDRESS)
    program = run_program(RECOVERY_ODM)
    walk = RecoveryWalk(driver, program, "ODM-Product", "1.2.3")
    walk.open_recovery_dialog()
    assert driver.combo_items(RECOVERY_TITLE, LOCAL_ADDRESS_LIST_ID) == [PC_ADDRESS, netns.SECOND_PC_ADDRESS]
    assert walk.enter_serial("ab12cd", pc_index=1) == ("AB12CD", netns.SECOND_PC_ADDRESS)
    assert walk.discovery()[0] == "confirm"
    walk.confirm()
    walk.wait_transfer(size=len(image_bytes(ODM_IMAGE)))
    check_recovery_fetch(device, ODM_IMAGE, netns.SECOND_PC_ADDRESS)
    walk.cancel_update_wait()
    assert walk.wait_outcome() == ("error", USER_ABORT)
    assert program.wait_exit() == 0
    # The junk before each reply (60 and 160 bytes) was not taken for it.
    sent = device.events("recovery-sent")
    assert [e["kind"] for e in sent] == ["junk", "junk", "reply"] * 2
    assert {tuple(e["destination"]) for e in sent} == {(GROUP, PC_PORT)}
    check_messages(device, SERIAL, netns.SECOND_PC_ADDRESS, discovers=1)


def test_serial_number_cut_to_19_characters(driver, run_program, device_ns, request):
    typed = "abcdefghij0123456789klmno"
    cut = "ABCDEFGHIJ012345678"
    device = SimDevice(device_ns, request.node.name,
                       recovery_options(cut, [ODM_IMAGE], "--recovery-answer-from", "2", "--install-delay", "0"))
    program = run_program(RECOVERY_ODM)
    walk = RecoveryWalk(driver, program, "ODM-Product", "1.2.3")
    walk.open_recovery_dialog()
    field, _ = walk.enter_serial(typed)
    assert field.startswith(cut)
    assert walk.discovery()[::2] == ("confirm", f"Connecting with QVR@{cut}")
    fields, _ = walk.confirm()
    assert fields["serial_number"] == cut
    # The upload and update titles carry the cut serial number too.
    walk.wait_transfer(size=len(image_bytes(ODM_IMAGE)))
    walk.cancel_update_wait()
    assert walk.wait_outcome() == ("error", USER_ABORT)
    assert program.wait_exit() == 0
    check_messages(device, cut, PC_ADDRESS, discovers=2)


def test_phone_family_instructions(driver, run_program):
    program = run_program(RECOVERY_PHONE)
    walk = RecoveryWalk(driver, program, "QVR-741/QVR-721", "7.6.1")
    assert walk.open_recovery_dialog() == (INTRO_TEXT, "Version 7.6.1", PHONE_TEXT)
    # Cancel ends the run without a word (a box would hold the program).
    driver.click(RECOVERY_TITLE, IDCANCEL)
    assert program.wait_exit() == 0


def test_cancel_in_the_status_request_after_a_recovery(driver, run_program, device_ns, request):
    # The device answers the status request after the recovery a few bytes
    # every 5 s, so its connecting dialog stays up; Cancel there ends the
    # run with the words of the recovery's other Cancels (README).
    device = SimDevice(device_ns, request.node.name,
                       recovery_options(SERIAL, [ODM_IMAGE], "--install-delay", "0", "--dribble-ms", "5000"))
    program = run_program(RECOVERY_ODM)
    walk = RecoveryWalk(driver, program, "ODM-Product", "1.2.3")
    walk.open_recovery_dialog()
    walk.enter_serial("ab12cd")
    assert walk.discovery()[0] == "confirm"
    walk.confirm()
    walk.wait_transfer(size=len(image_bytes(ODM_IMAGE)))
    handle, title = driver.wait_window_prefix("Connecting with QVR@", timeout_ms=180000)
    assert title == f"Connecting with QVR@{SERIAL}"
    device.wait_event("request")
    driver.click("@" + handle, IDCANCEL)
    assert walk.wait_outcome() == ("error", USER_ABORT)
    assert program.wait_exit() == 0
    check_recovery_fetch(device, ODM_IMAGE, PC_ADDRESS)
