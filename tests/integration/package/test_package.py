"""scripts/package, whose output is what a maker ships: the checksums hold,
every .exe carries the image it was given byte for byte, and an image the
programs cannot serve stops it with the build's message.

Packaging from scratch builds four programs (about two minutes on two
cores). The sample package is made from the trees scripts/build made
instead (QVR_PACKAGE_BUILD_DIR=build): for the sample they are configured
with the same images, so the script runs its own configure, build, strip
and checksum steps, which find the programs already built. A tree that
scripts/build was told to give another image is set back to the sample.
"""
import hashlib
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "tools"))
from exe_resources import resource  # noqa: E402

PACKAGE = ROOT / "scripts" / "package"
IMAGE_IDS = {"recovery-upgrader.exe": "112", "staged-upgrader.exe": "726"}


def package(output, build_dir, *images):
    env = dict(os.environ, QVR_PACKAGE_OUTPUT=str(output), QVR_PACKAGE_BUILD_DIR=str(build_dir))
    return subprocess.run([str(PACKAGE), *map(str, images)], env=env, capture_output=True, text=True,
                          timeout=900)


def test_sample_package(tmp_path):
    for arch in ("win64", "win32"):
        if not (ROOT / "build" / arch / "build.ninja").is_file():
            pytest.fail(f"build/{arch} is missing: run scripts/build --all")
    sample = tmp_path / "sample.bin"
    subprocess.run(["python3", str(ROOT / "tools" / "make_image.py"), str(sample)], check=True)
    done = package(tmp_path / "dist", ROOT / "build")
    assert done.returncode == 0, done.stdout + done.stderr

    [shipped] = (tmp_path / "dist").iterdir()
    assert shipped.name == "qvr-upgrade-7.5.6a-SAMPLE"
    assert "SAMPLE" in (shipped / "README.txt").read_text()
    sums = dict(reversed(line.split("  ", 1)) for line in (shipped / "SHA256SUMS").read_text().splitlines())
    files = {str(p.relative_to(shipped)) for p in shipped.rglob("*") if p.is_file()} - {"SHA256SUMS"}
    assert set(sums) == files
    assert {f: hashlib.sha256((shipped / f).read_bytes()).hexdigest() for f in files} == sums
    exes = sorted(f for f in files if f.endswith(".exe"))
    assert exes == [f"{arch}/{exe}" for arch in ("32-bit", "64-bit") for exe in sorted(IMAGE_IDS)]
    for exe in exes:
        carried = resource(shipped / exe, "QVR_FIRMWARE", IMAGE_IDS[pathlib.Path(exe).name])
        assert carried == sample.read_bytes(), exe


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
