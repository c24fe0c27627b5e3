"""The built Windows programs talk to one Winsock generation only: their
socket calls come from ws2_32, and the multicast option numbers compiled in
are ws2_32's (IP_MULTICAST_IF 9, IP_ADD_MEMBERSHIP 12), not the 2 and 5 of
the older winsock.h/wsock32, which ws2_32 refuses on Windows although Wine
takes them.  Read back from the .exe files with objdump."""
import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
PROGRAMS = [(ROOT / "build" / tree / "bin" / exe, tool)
            for tree, tool in (("win64", "x86_64-w64-mingw32-objdump"), ("win32", "i686-w64-mingw32-objdump"))
            for exe in ("recovery-upgrader.exe", "staged-upgrader.exe")]


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True, timeout=120).stdout


def returned_constant(disassembly, function):
    """The constant a `return N;` function loads before its ret."""
    body = disassembly.split(f"<{function}>:\n", 1)[1].split("\n\n", 1)[0]
    return int(re.search(r"mov\s+\$0x([0-9a-f]+),%eax", body).group(1), 16)


@pytest.mark.parametrize("exe, tool", PROGRAMS, ids=[f"{p.parent.parent.name}-{p.stem}" for p, _ in PROGRAMS])
def test_socket_calls_and_option_numbers_are_ws2_32s(exe, tool):
    if not exe.exists() or shutil.which(tool) is None:
        pytest.skip(f"{exe} or {tool} missing")
    imports = objdump(tool, "-p", str(exe))
    dlls = re.findall(r"DLL Name: (\S+)", imports)
    assert "WS2_32.dll" in dlls and not any(d.upper() == "WSOCK32.DLL" for d in dlls), dlls
    ws2 = imports.split("DLL Name: WS2_32.dll", 1)[1].split("DLL Name:", 1)[0]
    assert re.search(r"\bsetsockopt\b", ws2), "setsockopt is not taken from ws2_32"
    code = objdump(tool, "-d", "--no-show-raw-insn", str(exe))
    # The 32-bit symbols carry a leading underscore.
    prefix = "_" if "win32" in str(exe) else ""
    assert returned_constant(code, f"{prefix}_ZN3qvr27multicast_membership_optionEv") == 12
    assert returned_constant(code, f"{prefix}_ZN3qvr26multicast_interface_optionEv") == 9
