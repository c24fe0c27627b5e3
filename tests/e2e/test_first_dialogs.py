"""The first dialogs of both programs: the staged-upgrader's notice dialog and
the recovery-upgrader's welcome dialog, their texts, keys, default buttons,
placement and the way each ends the run."""

import pytest

from upgrade_flow import (IDCANCEL, IDOK, NOTICE_TEXT_ID, RECOVERY, RECOVERY_ODM, STAGED, STAGED_ODM,
                          UPGRADE_BUTTON_ID, WELCOME_TITLE)

WELCOME_TEXT_ID = 1031
RECOVER_BUTTON_ID = 1029
WS_TABSTOP = 0x00010000

NOTICE_TEXT = (
    "WARNING: Forcing a firmware upgrade on your QVR\r\n"
    "without prior approval from your service provider or\r\n"
    "network administrator may cause interruption to your\r\n"
    "service.  If your QVR is managed by a service\r\n"
    "provider who retains administrative control of the\r\n"
    "device, please contact the service provider for\r\n"
    "authorization before proceeding.  In such cases, the\r\n"
    "most current, approved for service firmware is\r\n"
    "automatically provided by your service provider without\r\n"
    "any onus on the end user to upgrade manually."
)

WELCOME_TEXT = (
    "Welcome to the Morvane QVR Device Firmware Upgrade Utility!\r\n\r\n"
    "To begin, select the [Upgrade Firmware]\r\noption if you would like to upgrade the firmware\r\n"
    "on a normal QVR unit.\r\n\r\n"
    "If your QVR has a corrupted image and the\r\nStatus LED is blinking erratically, select\r\n"
    "the [Recover Firmware] option and follow the\r\non-screen instructions."
)


def assert_centred(driver, title, screen_size):
    """The window sits in the middle of the screen: the offset is half the
    free space, rounded toward minus infinity (one pixel of slack)."""
    left, top, right, bottom = driver.rect(title)
    width, height = screen_size
    assert driver.screen() == screen_size
    assert abs(left - ((width - (right - left)) >> 1)) <= 1, (left, top, right, bottom)
    assert abs(top - ((height - (bottom - top)) >> 1)) <= 1, (left, top, right, bottom)


@pytest.mark.parametrize("exe, product, how", [
    (STAGED, "QVR7x7g", "cancel"), (RECOVERY, "QVR7x7g", "enter"),
    (STAGED_ODM, "ODM-Product", "esc"), (RECOVERY_ODM, "ODM-Product", "cancel")])
def test_notice_dialog_and_its_ways_out(driver, run_program, screen_size, exe, product, how):
    # The recovery-upgrader reaches the notice through "Upgrade Firmware ".
    title = f"{product} Firmware Upgrade"
    program = run_program(exe)
    if exe in (RECOVERY, RECOVERY_ODM):
        driver.wait_dialog(WELCOME_TITLE)
        driver.click(WELCOME_TITLE, UPGRADE_BUTTON_ID)
    driver.wait_dialog(title)
    assert not driver.exists(WELCOME_TITLE)
    assert driver.get_text(title, NOTICE_TEXT_ID) == NOTICE_TEXT
    assert (driver.get_text(title, IDOK), driver.get_text(title, IDCANCEL)) == ("Continue", "Cancel")
    # Cancel is the default and has the focus: Enter at once ends the run.
    assert driver.default_id(title) == IDCANCEL and driver.focus_id(title) == IDCANCEL
    # The warning is read-only text that the Tab key passes over.
    assert not driver.style(title, NOTICE_TEXT_ID)[0] & WS_TABSTOP
    assert_centred(driver, title, screen_size)
    if how == "cancel":
        driver.click(title, IDCANCEL)
    else:
        driver.key(title, how)
    assert program.wait_exit() == 0
    assert not driver.exists(title)


def test_notice_continue_leaves_notice(driver, run_program):
    program = run_program(STAGED)
    notice = driver.wait_dialog("QVR7x7g Firmware Upgrade")
    driver.click("@" + notice, IDOK)
    # By handle: the address dialog that follows has the same title.
    driver.wait_gone("@" + notice)
    assert program.running()


def test_welcome_dialog_ignores_esc_and_closes_from_its_title_bar(driver, run_program, screen_size):
    program = run_program(RECOVERY)
    driver.wait_dialog(WELCOME_TITLE)
    assert driver.get_text(WELCOME_TITLE, WELCOME_TEXT_ID) == WELCOME_TEXT
    assert driver.get_text(WELCOME_TITLE, UPGRADE_BUTTON_ID) == "Upgrade Firmware "
    assert driver.get_text(WELCOME_TITLE, RECOVER_BUTTON_ID) == "Recover Firmware"
    assert driver.default_id(WELCOME_TITLE) == UPGRADE_BUTTON_ID
    assert_centred(driver, WELCOME_TITLE, screen_size)
    driver.key(WELCOME_TITLE, "esc")
    # The dialog has handled the key once it answers a message posted after it.
    assert driver.sync(WELCOME_TITLE), "welcome dialog went away after Esc"
    assert program.running()
    driver.close(WELCOME_TITLE)
    assert program.wait_exit() == 0
    assert not driver.exists(WELCOME_TITLE)
