"""The main job that `scripts/run` shows: the shipped staged-upgrader started
as a user starts it and walked through a whole upgrade of the simulated
device (in the device namespace, 10.77.0.2): password, confirmation, the
TFTP transfer of the 4,309,491-byte image, the device's 115 s update wait,
and the success dialog with the version the device then reports.  One line
per dialog met, printed as it is met, the last one with that version."""

from upgrade_flow import (SAMPLE_IMAGE, STAGED, SimDevice, Walk, check_upgrade_command, device_options,
                          image_bytes)

NOTICE_TITLE = "QVR7x7g Firmware Upgrade"
NOTICE_TEXT_ID = 1021


def say(line):
    print(f"main job: {line}", flush=True)


def test_main_job(driver, run_program, device_ns):
    print()
    device = SimDevice(device_ns, "main-job", device_options([SAMPLE_IMAGE], "--install-delay", "5",
                                                            "--silent-while-installing"))
    say("simulated device at 10.77.0.2 (Digest password, status page reports 7.5.5)")
    program = run_program(STAGED)
    walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a", say=say)

    driver.wait_dialog(NOTICE_TITLE)
    assert driver.get_text(NOTICE_TITLE, NOTICE_TEXT_ID).startswith("WARNING: Forcing a firmware upgrade")
    walk.enter_address()
    walk.give_password()
    walk.confirm()
    walk.wait_transfer(size=len(image_bytes(SAMPLE_IMAGE)))
    [tftp] = device.wait_event("tftp")
    say(f"the device fetched {tftp['bytes']} bytes by TFTP ({tftp['name']}), "
        f"{'every byte as expected' if tftp['ok'] else tftp['error']}")
    outcome, version = walk.wait_outcome()
    code = program.wait_exit()
    say(f"the program ended with exit code {code}")
    say(f"upgraded to version {version}" if outcome == "success" else f"upgrade failed: {version}")

    assert tftp["ok"], tftp["error"]
    check_upgrade_command(device.events("upgrade")[0], "bi1")
    assert (outcome, version) == ("success", "7.5.6a")
    assert code == 0
