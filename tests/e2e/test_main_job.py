"""The main job that `scripts/run` shows: the shipped staged-upgrader started
as a user starts it, walked through every dialog it shows, with a report of
what each one said.  (The rest of an upgrade, up to the simulated device,
joins this walk as the program grows.)"""

NOTICE_TITLE = "QVR7x7g Firmware Upgrade"
NOTICE_TEXT_ID = 1021
IDOK = 1


def report(lines):
    print("\n" + "\n".join(f"main job: {line}" for line in lines))


def test_main_job(driver, run_program):
    program = run_program("staged-upgrader.exe")
    driver.wait_dialog(NOTICE_TITLE)
    shown = [f'dialog "{driver.title(NOTICE_TITLE)}"']
    text = driver.get_text(NOTICE_TITLE, NOTICE_TEXT_ID)
    shown += [f"  | {line}" for line in text.split("\r\n")]
    shot = driver.screenshot(NOTICE_TITLE, "main-job-notice")
    shown.append(f"  screenshot: {shot}")
    assert text.startswith("WARNING: Forcing a firmware upgrade")

    driver.click(NOTICE_TITLE, IDOK)  # Continue
    code = program.wait_exit()
    shown.append(f"pressed Continue; the program ended with exit code {code}")
    report(shown)
    assert code == 0
