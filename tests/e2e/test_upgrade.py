"""Whole upgrades under Wine against the simulated device in the device
namespace: the device asks for a Digest password, fetches the image by TFTP
with its own client, checks every byte against the image the program
carries, installs it and reports the new version.

The builds whose image names no catalogued product (variants/*-odm.exe) have
the short update waits (35 s staged, 50 s recovery) and keep most runs
short; each shipped program runs once with its full wait (the staged one in
test_main_job, the recovery one here).
"""
import time

import pytest

from upgrade_flow import (CONFIRM_FIELDS, DIALOG_S, ERROR_TITLE, IDCANCEL, IDOK, ODM_IMAGE, PASSWORD, PASSWORD_ID,
                          PASSWORD_TITLE, RECOVERY, RECOVERY_ODM, SAMPLE_IMAGE, STAGED, STAGED_ODM, STAGED_TRANSITION,
                          TRANSITION_IMAGE, WAITING_TEXT_ID, WAITING_TITLE, UPDATE_WAIT_BOUND_S, SimDevice, Walk,
                          check_upgrade_command, device_options, image_bytes)

DEVICE_IDENTITY = {"serial_number": "QVR0012345", "mac_address": "00:0E:08:12:34:56",
                   "software_version": "7.5.5", "hardware_version": "1.0", "product_name": "QVR7x7g"}


def check_whole_fetch(device, number, image_path):
    """The n-th fetch the device logged delivered this image byte for byte."""
    tftp = device.wait_event("tftp", number)[number - 1]
    assert tftp["ok"], tftp["error"]
    assert tftp["expected"] == image_path
    assert tftp["bytes"] == len(image_bytes(image_path))
    # The option acknowledgement the programs always send.
    assert tftp["oack"] == {"tsize": str(tftp["bytes"]), "timeout": "5"}
    assert tftp["stranger_ack_accepted"] == 0 and tftp["unknown_tid"] == 0
    return tftp


def check_authenticated_status_requests(device, upgrade_name):
    """The device's view of the web side: a challenge, the password's
    request, the upgrade command, and the status request after the upload,
    all but the first authenticated and accepted."""
    verdicts = [(e.get("target"), e["verdict"]) for e in device.events("request")]
    assert verdicts[0] == ("/admin/advanced", "challenge")
    assert verdicts[1] == ("/admin/advanced", "ok")
    assert verdicts[2][1] == "ok" and verdicts[2][0].endswith(upgrade_name)
    assert verdicts[-1] == ("/admin/advanced", "ok")
    counts = [int(e["authorization"]["nc"], 16) for e in device.events("request")[1:]]
    assert counts == sorted(set(counts)), "the nonce count goes up with every request"


@pytest.mark.parametrize("exe, kind, product, version, image", [
    (STAGED_ODM, "staged", "ODM-Product", "1.2.3", ODM_IMAGE),
    (RECOVERY, "recovery", "QVR7x7g", "7.5.6a", SAMPLE_IMAGE),
], ids=["staged-odm", "recovery-shipped"])
def test_whole_upgrade_with_password(driver, run_program, device_ns, request, exe, kind, product, version, image):
    device = SimDevice(device_ns, request.node.name,
                       device_options([image], "--install-delay", "3", "--silent-while-installing"))
    program = run_program(exe)
    walk = Walk(driver, program, kind, product, version)
    walk.enter_address()
    walk.give_password()
    fields, _ = walk.confirm()
    assert fields == DEVICE_IDENTITY
    walk.wait_transfer(size=len(image_bytes(image)))
    outcome = walk.wait_outcome()
    assert outcome == ("success", version)
    assert program.wait_exit() == 0

    [command] = device.events("upgrade")
    check_upgrade_command(command, "bi1")
    check_whole_fetch(device, 1, image)
    [installed] = device.events("installed")
    assert installed["version"] == version
    check_authenticated_status_requests(device, command["name"])


@pytest.mark.parametrize("hold", ["60", "status"], ids=["held-past-the-update-wait", "answered-during-the-check"])
def test_staged_upgrade_command_answered_late(driver, run_program, device_ns, request, hold):
    # A device busy writing its flash answers the upgrade command late, with
    # its status page from before the upgrade: not before the program has
    # ended (past the 35 s update wait), or while it sends the status page
    # of the check after the upload.  The check keeps its own page: the new
    # version, and the success dialog.
    device = SimDevice(device_ns, request.node.name,
                       device_options([ODM_IMAGE], "--install-delay", "1", "--hold-upgrade-answer", hold,
                                      "--dribble-ms", "20"))
    program = run_program(STAGED_ODM)
    walk = Walk(driver, program, "staged", "ODM-Product", "1.2.3")
    walk.enter_address()
    walk.give_password()
    walk.confirm()
    walk.wait_transfer(size=len(image_bytes(ODM_IMAGE)))
    assert walk.wait_outcome() == ("success", "1.2.3")
    assert program.wait_exit() == 0
    check_whole_fetch(device, 1, ODM_IMAGE)

    [command] = device.events("upgrade")
    requests = device.events("request")
    target = f"/admin/upgrade?tftp://{command['host']}:{command['port']}{command['name']}"
    assert [(e.get("target"), e["verdict"]) for e in requests[2:]] == [(target, "held"), ("/admin/advanced", "ok")]
    # The same requests as ever, the nonce count running on across them.
    assert [int(e["authorization"]["nc"], 16) for e in requests[1:]] == [1, 2, 3]
    [held] = device.events("upgrade-held")
    if hold == "status":
        [answered] = device.events("upgrade-answered")
        assert answered["time"] >= requests[-1]["time"], "answered before the check"
    else:
        assert requests[-1]["time"] - held["time"] < 60, "the check waited for the command's answer"


def test_staged_version_not_matching(driver, run_program, device_ns, request):
    device = SimDevice(device_ns, request.node.name,
                       device_options([ODM_IMAGE], "--install-delay", "1", "--report-version", "1.2.3.1"))
    program = run_program(STAGED_ODM)
    walk = Walk(driver, program, "staged", "ODM-Product", "1.2.3")
    walk.enter_address()
    walk.give_password()
    walk.confirm()
    walk.wait_transfer()
    assert walk.wait_outcome() == ("error", "Upgrade Failed: Version not matching")
    assert program.wait_exit() == 0
    # The image itself arrived whole: only the reported version differs.
    check_whole_fetch(device, 1, ODM_IMAGE)
    assert device.events("installed")[0]["version"] == "1.2.3.1"
    assert not any("Successful" in title for title in walk.met)


def test_recovery_device_silent_after_upload(driver, run_program, device_ns, request):
    # The device takes the image and then never answers again: it closes
    # every connection unanswered for the rest of the run.
    device = SimDevice(device_ns, request.node.name,
                       device_options([ODM_IMAGE], "--install-delay", "3600", "--silent-while-installing"))
    program = run_program(RECOVERY_ODM)
    walk = Walk(driver, program, "recovery", "ODM-Product", "1.2.3")
    walk.enter_address()
    walk.give_password()
    walk.confirm()
    walk.wait_transfer()
    assert walk.wait_outcome() == ("error", "Upgrade Failed: QVR not responding after firmware upload")
    assert program.wait_exit() == 0
    check_whole_fetch(device, 1, ODM_IMAGE)
    silent = [e for e in device.events("request") if e["verdict"] == "silent: installing"]
    assert [e["request_line"] for e in silent] == ["GET /admin/advanced HTTP/1.1"]


def test_staged_device_never_fetches_then_cancel(driver, run_program, device_ns, request):
    device = SimDevice(device_ns, request.node.name, device_options([SAMPLE_IMAGE], "--no-fetch"))
    program = run_program(STAGED)
    walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a")
    walk.enter_address()
    walk.give_password()
    walk.confirm()
    driver.wait_dialog(WAITING_TITLE)
    text = driver.get_text(WAITING_TITLE, WAITING_TEXT_ID["staged"])
    assert text.startswith("Firmware upload will begin when the QVR is idle")
    [command] = device.wait_event("upgrade")
    assert command["verdict"] == "ignored"
    check_upgrade_command(command, "bi1")
    # Still waiting once the command is in: the dialog handles what is
    # posted to it and stays.
    assert driver.sync(WAITING_TITLE)
    walk.note(WAITING_TITLE, "pressed Cancel")
    driver.click(WAITING_TITLE, IDCANCEL)
    driver.wait_dialog(ERROR_TITLE)
    assert walk.wait_outcome() == ("error", "Upgrade Failed: User Abort")
    assert program.wait_exit() == 0
    assert device.events("tftp") == []


def test_staged_transition_serves_both_images(driver, run_program, device_ns, request):
    # The transition image (7.0.0) first, under a .bi0 name; the device
    # installs it and reports 7.0.0; then the target image under a new .bi1
    # name.  Once the target image is in, the second update wait (115 s) is
    # cancelled: what follows it is the shipped program's, tested in the
    # main job.
    device = SimDevice(device_ns, request.node.name,
                       device_options([TRANSITION_IMAGE, SAMPLE_IMAGE], "--install-delay", "3",
                                      "--silent-while-installing"))
    program = run_program(STAGED_TRANSITION)
    walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a")
    walk.enter_address()
    walk.give_password()
    _, text = walk.confirm()
    assert "is older than 7.0.0, this upgrade procedure" in text.replace("\r\n", " ")

    walk.wait_transfer("Transition", size=len(image_bytes(TRANSITION_IMAGE)))
    check_whole_fetch(device, 1, TRANSITION_IMAGE)
    # After the update wait and the status check the program waits for the
    # second request (the device is told at once to fetch under a new name,
    # so the waiting dialog may be gone before it is seen).
    walk.wait_transfer("Target", size=len(image_bytes(SAMPLE_IMAGE)), bound_s=UPDATE_WAIT_BOUND_S)
    check_whole_fetch(device, 2, SAMPLE_IMAGE)

    first, second = device.events("upgrade")
    check_upgrade_command(first, "bi0")
    check_upgrade_command(second, "bi1")
    assert first["port"] == second["port"], "one listener serves both stages"
    assert first["name"][:-1] != second["name"][:-1], "a new random number for the second name"
    [transition_installed] = device.events("installed")[:1]
    assert transition_installed["version"] == "7.0.0"
    # Between the two commands: the status check after the transition
    # stage, answered with 7.0.0.
    answered = [e.get("target") for e in device.events("request") if e["verdict"] == "ok"]
    first_at = answered.index(f"/admin/upgrade?tftp://{first['host']}:{first['port']}{first['name']}")
    second_at = answered.index(f"/admin/upgrade?tftp://{second['host']}:{second['port']}{second['name']}")
    assert "/admin/advanced" in answered[first_at + 1:second_at]

    walk.cancel_update_wait("Target")
    assert walk.wait_outcome() == ("error", "Upgrade Failed: User Abort")
    assert program.wait_exit() == 0


def answer_password_dialog(driver, password, previous=None):
    """Types the password into the password dialog that is not `previous`
    (the one just answered, which may not be gone yet) and presses OK;
    returns the dialog's handle."""
    deadline = time.monotonic() + DIALOG_S
    while time.monotonic() < deadline:
        for w in driver.list_windows():
            if w["title"] == PASSWORD_TITLE and w["hwnd"] != previous:
                driver.set_text("@" + w["hwnd"], PASSWORD_ID, password)
                driver.click("@" + w["hwnd"], IDOK)
                return w["hwnd"]
        time.sleep(0.05)
    pytest.fail("no password dialog")


@pytest.mark.parametrize("nonce_mode, refused", [("fixed", 1), ("fresh", 2)])
def test_wrong_password_then_right(driver, run_program, device_ns, request, nonce_mode, refused):
    # A device that keeps its nonce has refused the wrong password: the
    # dialog comes back at once.  One that makes a new nonce for every
    # challenge gets one repeat without asking first (a new nonce may only
    # mean the old one went stale), then the dialog.
    device = SimDevice(device_ns, request.node.name, device_options([ODM_IMAGE], "--nonce-mode", nonce_mode))
    program = run_program(STAGED_ODM)
    walk = Walk(driver, program, "staged", "ODM-Product", "1.2.3")
    walk.enter_address()
    first = answer_password_dialog(driver, "wrong")
    answer_password_dialog(driver, PASSWORD, previous=first)
    confirm = "Confirm Upgrade to Ver. 1.2.3"
    driver.wait_dialog(confirm)
    assert driver.get_text(confirm, CONFIRM_FIELDS["serial_number"]) == DEVICE_IDENTITY["serial_number"]
    driver.click(confirm, IDCANCEL)
    assert walk.wait_outcome() == ("error", "Upgrade Failed: User Abort")
    assert program.wait_exit() == 0
    verdicts = [e["verdict"].split(":")[0] for e in device.events("request")]
    assert verdicts == ["challenge"] + ["rejected"] * refused + ["ok"]


def test_cancel_in_the_upload_dialog_during_a_flood(driver, run_program, device_ns, request):
    # After block 20 the device stops acknowledging and floods the program,
    # as fast as it can, with stale ACKs from its own address and port; it
    # stops 5 s after the program has gone quiet.  The program must go on
    # repeating its block and take the Cancel meanwhile.
    device = SimDevice(device_ns, request.node.name,
                       device_options([ODM_IMAGE], "--flood-after-block", "20", "--tftp-linger-quiet", "5",
                                      password=None))
    program = run_program(STAGED_ODM)
    walk = Walk(driver, program, "staged", "ODM-Product", "1.2.3")
    walk.enter_address()
    walk.confirm()
    device.wait_event("flood")
    upload, _ = driver.wait_window_prefix("Uploading Target Firmware to QVR@")
    time.sleep(1)  # some periods into the flood
    clicked_at = time.time()
    walk.note("Uploading Target Firmware", "pressed Cancel during the flood")
    driver.click("@" + upload, IDCANCEL)
    driver.wait_dialog(ERROR_TITLE, screenshot=False)
    box_at = time.time()
    assert walk.wait_outcome() == ("error", "Upgrade Failed: User Abort")
    assert program.wait_exit() == 0
    [tftp] = device.wait_event("tftp")
    flood = tftp["flood"]
    repeated_at = [flood["started"] + t for t in flood["repeat_s"]]
    after = [t - clicked_at for t in repeated_at if t > clicked_at]
    print(f"\nflood under Wine: {flood['sent']} datagrams, {len(repeated_at)} repeats, "
          f"{len(after)} after the click; the failure box seen {(box_at - clicked_at) * 1000:.0f} ms after it, "
          f"{flood['ended'] - box_at:.1f} s before the flood ended")
    assert sum(t < clicked_at for t in repeated_at) >= 3, "no retransmission during the flood"
    assert len(after) <= 1, "the program went on after the Cancel"
    assert flood["ended"] > box_at, "Cancel was taken only after the flood"
