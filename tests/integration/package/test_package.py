"""scripts/package, whose output is what a maker ships: the checksums hold,
every .exe carries the image it was given byte for byte, the text for users
names the firmware and the checksums, and an image the programs cannot
serve stops it with the build's message.

Packaging from scratch builds four programs (about two minutes on two
cores); the sample package comes from the trees scripts/build made
(conftest.py).
"""
import pathlib
import platform
import struct
import subprocess
import sys
import time
import zipfile

from release import ROOT, checked_sums, package

sys.path.insert(0, str(ROOT / "tools"))
from exe_resources import resource  # noqa: E402

IMAGE_IDS = {"recovery-upgrader.exe": "112", "staged-upgrader.exe": "726"}
LINUX_PROGRAM = f"linux-{platform.machine()}/qvr-upgrade"


def pe_time_stamp(path):
    data = path.read_bytes()
    return struct.unpack_from("<I", data, struct.unpack_from("<I", data, 0x3C)[0] + 8)[0]


def test_sample_package(sample_package, tmp_path):
    shipped = sample_package
    sample = tmp_path / "sample.bin"
    subprocess.run([sys.executable, str(ROOT / "tools" / "make_image.py"), str(sample)], check=True)
    assert shipped.name == "qvr-upgrade-7.5.6a-SAMPLE"

    listed = checked_sums(shipped)
    files = set(listed)
    exes = sorted(f for f in files if f.endswith(".exe"))
    assert exes == [f"{arch}/{exe}" for arch in ("32-bit", "64-bit") for exe in sorted(IMAGE_IDS)]
    commit_date = int(subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%ct"], check=True,
                                     capture_output=True, text=True).stdout)
    for exe in exes:
        carried = resource(shipped / exe, "QVR_FIRMWARE", IMAGE_IDS[pathlib.Path(exe).name])
        assert carried == sample.read_bytes(), exe
        # The link time in the header is the commit's, not the build's.
        assert pe_time_stamp(shipped / exe) == commit_date, exe

    # The zip beside the folder holds the same files, in order, with the
    # commit's time (a zip counts in steps of two seconds).
    with zipfile.ZipFile(f"{shipped}.zip") as archive:
        entries = [e for e in archive.infolist() if not e.is_dir()]
        assert [e.filename for e in entries] == sorted(f"{shipped.name}/{f}" for f in files | {"SHA256SUMS"})
        for entry in entries:
            assert archive.read(entry) == (shipped.parent / entry.filename).read_bytes(), entry.filename
            assert entry.date_time == time.gmtime(commit_date - commit_date % 2)[:6]

    # The Linux program is there exactly when the source has it, and starts.
    has_cli = (ROOT / "cli" / "CMakeLists.txt").is_file()
    assert (LINUX_PROGRAM in files) == has_cli
    if has_cli:
        done = subprocess.run([str(shipped / LINUX_PROGRAM), "--version"], capture_output=True, text=True,
                              timeout=30)
        assert done.returncode == 0, done.stderr

    # The text for users: a sample, the firmware version, every program's
    # checksum as SHA256SUMS has it, and that nothing is signed.
    text = (shipped / "README.txt").read_text()
    assert "SAMPLE" in text and "firmware 7.5.6a" in text
    programs = files - {"README.txt"}
    for name in programs:
        assert f"{listed[name]}  {name}" in text, name
    assert "not signed" in text


def test_unservable_image_stops_it(tmp_path):
    # A version text without its NUL inside the header; fresh build trees,
    # which the build's image check stops before anything is compiled.
    bad = bytearray(4096)
    bad[92:128] = b"7" * 36
    (tmp_path / "bad.bin").write_bytes(bad)
    done = package(tmp_path / "dist", tmp_path / "builds", tmp_path / "bad.bin")
    assert done.returncode != 0
    assert "the version text at offset 92 has no NUL inside the 128-byte header" in done.stderr
    assert not (tmp_path / "dist").exists() or not any((tmp_path / "dist").iterdir())
