"""Where the built programs are, and their resources read back with wrestool
(icoutils), for the tests that look inside the .exe files."""
import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
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


def resource_list(path):
    """[(type, name, language)] of every resource, in wrestool's order."""
    listing = subprocess.run(["wrestool", "-l", str(path)], capture_output=True, text=True, check=True).stdout
    return [tuple(m.groups()) for m in re.finditer(r"--type='?([^' ]+)'? --name=(\S+) --language=(\S+)", listing)]


def resource(path, rtype, name, language=None):
    """The raw bytes of one resource."""
    args = ["wrestool", "-x", "--raw", f"--type={rtype}", f"--name={name}", str(path)]
    if language:
        args.insert(-1, f"--language={language}")
    return subprocess.run(args, capture_output=True, check=True).stdout
