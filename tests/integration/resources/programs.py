"""Where the built programs are, for the tests that look inside the .exe
files (their resources read back by tools/exe_resources.py)."""
import pathlib
import shutil
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "tools"))
from exe_resources import dialog, resource, resource_list  # noqa: E402,F401
ARCHS = ("win64", "win32")
PROGRAMS = ("recovery-upgrader.exe", "staged-upgrader.exe")


def built_program(arch, exe):
    """The path of a built program. A missing one fails the test instead of
    skipping it: the build these tests follow (scripts/build --all) makes
    both architectures, so a gap means the 32-bit pair went unchecked."""
    path = ROOT / "build" / arch / "bin" / exe
    if not path.is_file():
        pytest.fail(f"{path} is missing: run scripts/build --all, which builds the 32-bit programs too")
    if shutil.which("wrestool") is None:
        pytest.fail("wrestool is missing: run scripts/setup (Debian package icoutils)")
    return path
