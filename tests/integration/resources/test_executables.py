"""The built programs as files. Both architectures: PE headers and imports
that a bare Windows loads. The 32-bit pair cannot run on these machines
(they refuse 32-bit executables, so Wine's 32-bit half cannot start), so it
is checked here against the 64-bit pair that the end-to-end tests run: the
same resources, byte for byte, and the image the build was given.
"""
import re
import subprocess

import pytest

from programs import ARCHS, PROGRAMS, ROOT, built_program, resource, resource_list

# DLLs in the system folder of every Windows the manifest names (msvcrt.dll
# is the system C runtime MinGW links against). Anything else, such as the
# MinGW runtime, libstdc++, libgcc or winpthread, would have to be shipped
# beside the .exe, which the static link is there to avoid.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll", "advapi32.dll",
               "shell32.dll", "ole32.dll", "ws2_32.dll", "iphlpapi.dll", "winmm.dll", "msvcrt.dll"}
# objdump of the matching MinGW binutils, the file format it reports, the
# optional header's magic.
FORMATS = {"win64": ("x86_64-w64-mingw32-objdump", "pei-x86-64", "PE32+"),
           "win32": ("i686-w64-mingw32-objdump", "pei-i386", "PE32")}
IMAGE_IDS = {"recovery-upgrader.exe": "112", "staged-upgrader.exe": "726"}


@pytest.mark.parametrize("arch", ARCHS)
@pytest.mark.parametrize("exe", PROGRAMS)
def test_headers_and_imports(arch, exe):
    objdump, file_format, magic = FORMATS[arch]
    dump = subprocess.run([objdump, "-p", str(built_program(arch, exe))],
                          capture_output=True, text=True, check=True).stdout
    assert f"file format {file_format}\n" in dump
    assert re.search(rf"^Magic\s+\w+\s+\({re.escape(magic)}\)$", dump, re.M)
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)$", dump, re.M)
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert "kernel32.dll" in dlls and dlls <= SYSTEM_DLLS, sorted(dlls - SYSTEM_DLLS)


def configured_image(arch):
    """The image the tree was configured to embed (the generated sample when none)."""
    cache = (ROOT / "build" / arch / "CMakeCache.txt").read_text()
    given = re.search(r"^QVR_FIRMWARE_IMAGE:FILEPATH=(.*)$", cache, re.M).group(1)
    return ROOT / given if given else ROOT / "build" / arch / "firmware" / "sample-7.5.6a.bin"


@pytest.mark.parametrize("exe", PROGRAMS)
def test_32_bit_resources_match_64_bit(exe):
    wide, narrow = built_program("win64", exe), built_program("win32", exe)
    listing = resource_list(wide)
    assert resource_list(narrow) == listing
    assert [r for r in listing if resource(narrow, *r) != resource(wide, *r)] == []
    # What they share is what the build was given, not just alike.
    assert resource(narrow, "QVR_FIRMWARE", IMAGE_IDS[exe]) == configured_image("win32").read_bytes()
    assert resource(narrow, "24", "1") == (ROOT / "resources" / "app.manifest").read_bytes()
    assert f"OriginalFilename\0{exe}\0".encode("utf-16-le") in resource(narrow, "16", "1")


def returned_constant(disassembly, function):
    """The constant a `return N;` function loads before its ret."""
    body = disassembly.split(f"<{function}>:\n", 1)[1].split("\n\n", 1)[0]
    return int(re.search(r"mov\s+\$0x([0-9a-f]+),%eax", body).group(1), 16)


@pytest.mark.parametrize("arch", ARCHS)
@pytest.mark.parametrize("exe", PROGRAMS)
def test_one_winsock_generation(arch, exe):
    # Socket calls from ws2_32 and its multicast option numbers
    # (IP_ADD_MEMBERSHIP 12, IP_MULTICAST_IF 9), never the 5 and 2 of
    # winsock.h/wsock32, which ws2_32 refuses on Windows while Wine takes them.
    objdump = FORMATS[arch][0]
    path = str(built_program(arch, exe))
    imports = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    assert re.search(r"\bsetsockopt\b", imports.split("DLL Name: WS2_32.dll", 1)[1].split("DLL Name:", 1)[0])
    code = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], capture_output=True, text=True,
                          check=True).stdout
    prefix = "_" if arch == "win32" else ""  # 32-bit symbols carry a leading underscore
    assert returned_constant(code, f"{prefix}_ZN3qvr27multicast_membership_optionEv") == 12
    assert returned_constant(code, f"{prefix}_ZN3qvr26multicast_interface_optionEv") == 9
