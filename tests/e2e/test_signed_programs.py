"""Programs signed by scripts/package --sign (a throw-away certificate)
still start under Wine and show their first dialog: the signature appended
to the file changes nothing the loader reads."""
import pathlib
import sys

import pytest

from test_first_dialogs import NOTICE_TEXT, WELCOME_TEXT, WELCOME_TEXT_ID
from upgrade_flow import BUILD, IDCANCEL, NOTICE_TEXT_ID, RECOVERY, STAGED, WELCOME_TITLE

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "integration" / "package"))
from release import PASSWORD, package, shipped, signature_verifies, throwaway_certificate  # noqa: E402


@pytest.fixture(scope="module")
def signed_programs(tmp_path_factory):
    """The 64-bit pair of the sample package, signed; made from the build's
    own tree, so only the strip and the signing are new work."""
    folder = tmp_path_factory.mktemp("signed")
    p12, cert = throwaway_certificate(folder)
    done = package(folder / "dist", BUILD, "--sign", p12, QVR_SIGN_PASSWORD=PASSWORD,
                   QVR_PACKAGE_ONLY=f"64-bit/{RECOVERY} 64-bit/{STAGED}")
    assert done.returncode == 0, done.stdout + done.stderr
    programs = shipped(folder / "dist") / "64-bit"
    for exe in (RECOVERY, STAGED):
        assert signature_verifies(programs / exe, cert), exe
    return programs


@pytest.mark.parametrize("exe, title, text_id, text", [
    (STAGED, "QVR7x7g Firmware Upgrade", NOTICE_TEXT_ID, NOTICE_TEXT),
    (RECOVERY, WELCOME_TITLE, WELCOME_TEXT_ID, WELCOME_TEXT)])
def test_signed_program_shows_its_first_dialog(driver, run_program, signed_programs, exe, title, text_id, text):
    program = run_program(str(signed_programs / exe))
    driver.wait_dialog(title)
    assert driver.get_text(title, text_id) == text
    if exe == STAGED:
        driver.click(title, IDCANCEL)
    else:
        driver.close(title)
    assert program.wait_exit() == 0
