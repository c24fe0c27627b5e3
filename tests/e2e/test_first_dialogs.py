"""The first dialogs of both programs: the staged-upgrader's notice dialog and
the recovery-upgrader's welcome dialog, their texts, keys, default buttons,
placement and the way each ends the run."""

import pytest

STAGED = "staged-upgrader.exe"
RECOVERY = "recovery-upgrader.exe"
STAGED_ODM = "variants/staged-upgrader-odm.exe"
RECOVERY_ODM = "variants/recovery-upgrader-odm.exe"

NOTICE_TITLE = "QVR7x7g Firmware Upgrade"
ODM_NOTICE_TITLE = "ODM-Product Firmware Upgrade"
WELCOME_TITLE = "Morvane QVR Device Firmware Upgrade Utility"

IDOK = 1
IDCANCEL = 2
NOTICE_TEXT_ID = 1021
WELCOME_TEXT_ID = 1031
UPGRADE_BUTTON_ID = 1028
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
    "Welcome to the Morvane QVR Device Firmware Upgrade Utility!\r\n"
    "\r\n"
    "To begin, select the [Upgrade Firmware]\r\n"
    "option if you would like to upgrade the firmware\r\n"
    "on a normal QVR unit.\r\n"
    "\r\n"
    "If your QVR has a corrupted image and the\r\n"
    "Status LED is blinking erratically, select\r\n"
    "the [Recover Firmware] option and follow the\r\n"
    "on-screen instructions."
)


def assert_centred(driver, title, screen_size):
    """The window sits in the middle of the screen: the offset is half the
    free space, rounded toward minus infinity (one pixel of slack)."""
    left, top, right, bottom = driver.rect(title)
    width, height = screen_size
    assert driver.screen() == screen_size
    assert abs(left - ((width - (right - left)) >> 1)) <= 1, (left, top, right, bottom)
    assert abs(top - ((height - (bottom - top)) >> 1)) <= 1, (left, top, right, bottom)


def open_recovery_notice(driver, run_program, exe=RECOVERY, notice_title=NOTICE_TITLE):
    program = run_program(exe)
    driver.wait_dialog(WELCOME_TITLE)
    driver.click(WELCOME_TITLE, UPGRADE_BUTTON_ID)
    driver.wait_dialog(notice_title)
    return program


# ---------------------------------------------------------------------------
# staged-upgrader: notice dialog first


def test_staged_starts_with_notice_dialog(driver, run_program):
    program = run_program(STAGED)
    driver.wait_dialog(NOTICE_TITLE)
    assert program.running()
    assert driver.get_text(NOTICE_TITLE, NOTICE_TEXT_ID) == NOTICE_TEXT
    assert driver.get_text(NOTICE_TITLE, IDOK) == "Continue"
    assert driver.get_text(NOTICE_TITLE, IDCANCEL) == "Cancel"
    # The warning is read-only text that the Tab key passes over.
    style, _ = driver.style(NOTICE_TITLE, NOTICE_TEXT_ID)
    assert not style & WS_TABSTOP


def test_staged_notice_cancel_button_ends_run(driver, run_program):
    program = run_program(STAGED)
    driver.wait_dialog(NOTICE_TITLE)
    driver.click(NOTICE_TITLE, IDCANCEL)
    assert program.wait_exit() == 0
    assert not driver.exists(NOTICE_TITLE)


def test_staged_notice_cancel_is_default_and_focused(driver, run_program):
    run_program(STAGED)
    driver.wait_dialog(NOTICE_TITLE)
    assert driver.default_id(NOTICE_TITLE) == IDCANCEL
    assert driver.focus_id(NOTICE_TITLE) == IDCANCEL


def test_staged_notice_enter_ends_run(driver, run_program):
    program = run_program(STAGED)
    driver.wait_dialog(NOTICE_TITLE)
    driver.key(NOTICE_TITLE, "enter")
    assert program.wait_exit() == 0


def test_staged_notice_esc_ends_run(driver, run_program):
    program = run_program(STAGED)
    driver.wait_dialog(NOTICE_TITLE)
    driver.key(NOTICE_TITLE, "esc")
    assert program.wait_exit() == 0


def test_staged_notice_is_centred(driver, run_program, screen_size):
    run_program(STAGED)
    driver.wait_dialog(NOTICE_TITLE)
    assert_centred(driver, NOTICE_TITLE, screen_size)


def test_staged_notice_continue_leaves_notice(driver, run_program):
    program = run_program(STAGED)
    notice = driver.wait_dialog(NOTICE_TITLE)
    driver.click(NOTICE_TITLE, IDOK)
    # By handle: the address dialog that follows has the same title.
    driver.wait_gone("@" + notice)
    # What follows the notice is tested with the address dialog; a run that
    # ends here must still end with exit code 0.
    if not program.running():
        assert program.wait_exit() == 0


# ---------------------------------------------------------------------------
# recovery-upgrader: welcome dialog, then notice dialog


def test_recovery_starts_with_welcome_dialog(driver, run_program):
    program = run_program(RECOVERY)
    driver.wait_dialog(WELCOME_TITLE)
    assert program.running()
    assert driver.get_text(WELCOME_TITLE, WELCOME_TEXT_ID) == WELCOME_TEXT
    assert driver.get_text(WELCOME_TITLE, UPGRADE_BUTTON_ID) == "Upgrade Firmware "
    assert driver.get_text(WELCOME_TITLE, RECOVER_BUTTON_ID) == "Recover Firmware"
    assert driver.default_id(WELCOME_TITLE) == UPGRADE_BUTTON_ID


def test_recovery_welcome_ignores_esc(driver, run_program):
    program = run_program(RECOVERY)
    driver.wait_dialog(WELCOME_TITLE)
    driver.key(WELCOME_TITLE, "esc")
    # The dialog has handled the key once it answers a message posted after it.
    assert driver.sync(WELCOME_TITLE), "welcome dialog went away after Esc"
    assert driver.exists(WELCOME_TITLE)
    assert program.running()


def test_recovery_welcome_title_bar_close_ends_run(driver, run_program):
    program = run_program(RECOVERY)
    driver.wait_dialog(WELCOME_TITLE)
    driver.close(WELCOME_TITLE)
    assert program.wait_exit() == 0
    assert not driver.exists(WELCOME_TITLE)


def test_recovery_welcome_is_centred(driver, run_program, screen_size):
    run_program(RECOVERY)
    driver.wait_dialog(WELCOME_TITLE)
    assert_centred(driver, WELCOME_TITLE, screen_size)


def test_recovery_upgrade_button_leads_to_notice(driver, run_program, screen_size):
    program = open_recovery_notice(driver, run_program)
    assert not driver.exists(WELCOME_TITLE)
    assert driver.get_text(NOTICE_TITLE, NOTICE_TEXT_ID) == NOTICE_TEXT
    assert driver.default_id(NOTICE_TITLE) == IDCANCEL
    assert driver.focus_id(NOTICE_TITLE) == IDCANCEL
    assert_centred(driver, NOTICE_TITLE, screen_size)
    driver.click(NOTICE_TITLE, IDCANCEL)
    assert program.wait_exit() == 0


def test_recovery_notice_enter_ends_run(driver, run_program):
    program = open_recovery_notice(driver, run_program)
    driver.key(NOTICE_TITLE, "enter")
    assert program.wait_exit() == 0


# ---------------------------------------------------------------------------
# Builds whose image names no catalogued product


@pytest.mark.parametrize("exe", [STAGED_ODM, RECOVERY_ODM])
def test_odm_variant_names_odm_product_in_notice(driver, run_program, exe):
    if exe == RECOVERY_ODM:
        program = open_recovery_notice(driver, run_program, exe, ODM_NOTICE_TITLE)
    else:
        program = run_program(exe)
        driver.wait_dialog(ODM_NOTICE_TITLE)
    assert driver.get_text(ODM_NOTICE_TITLE, NOTICE_TEXT_ID) == NOTICE_TEXT
    driver.click(ODM_NOTICE_TITLE, IDCANCEL)
    assert program.wait_exit() == 0
