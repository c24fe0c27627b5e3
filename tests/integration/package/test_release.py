"""Releases people can check. A program rebuilt from the same source in
another folder, later, is byte for byte the one in the package, and the
comparison names one that differs. Signed programs verify, stop verifying
once a byte changes, and give back the unsigned program of a rebuild when
their signature is removed; the password only ever comes from the
environment."""
import shutil
import subprocess

import pytest

from release import (COMPARE, PASSWORD, ROOT, SAMPLE_NAME, checked_sums, package, shipped, signature_verifies,
                     sums, throwaway_certificate)

ONE_PROGRAM = "64-bit/staged-upgrader.exe"


def compare(rebuilt, given, *only):
    return subprocess.run([str(COMPARE), str(rebuilt), str(given), *only], capture_output=True, text=True,
                          timeout=300)


def change_one_byte(path, offset):
    data = bytearray(path.read_bytes())
    data[offset] ^= 0x01
    path.write_bytes(data)


def without_signature(exe, out):
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(exe), "-out", str(out)], check=True,
                   capture_output=True, timeout=120)
    return out.read_bytes()


def test_rebuild_elsewhere_gives_the_same_program(sample_package, tmp_path):
    # One program, one architecture, from scratch in build trees of its own:
    # the whole check is scripts/package --verify without --only.
    scratch = tmp_path / "scratch"
    done = package(sample_package.parent, ROOT / "build", "--verify", "--only", ONE_PROGRAM,
                   QVR_PACKAGE_SCRATCH=str(scratch))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "1 file(s)" in done.stdout and "are the same as rebuilt" in done.stdout

    changed = tmp_path / "changed"
    shutil.copytree(sample_package, changed)
    offset = (changed / ONE_PROGRAM).stat().st_size // 2
    change_one_byte(changed / ONE_PROGRAM, offset)
    done = compare(scratch / "dist" / SAMPLE_NAME, changed, ONE_PROGRAM)
    assert done.returncode == 1
    assert f"DIFFERS {ONE_PROGRAM}: differs (first difference at byte {offset:#x})" in done.stdout


def test_linux_program_rebuilt_outside_the_source_folder_is_the_same(sample_package, tmp_path):
    # Regression: the package's build folder lies inside the source folder,
    # the rebuild's outside it; the compiler's working folder kept its
    # absolute path in the debug information, so the build ID differed.
    linux = next((p.relative_to(sample_package).as_posix() for p in sample_package.glob("linux-*/qvr-upgrade")),
                 None)
    if linux is None:
        pytest.skip("this package has no Linux program")
    done = package(sample_package.parent, ROOT / "build", "--verify", "--only", linux,
                   QVR_PACKAGE_SCRATCH=str(tmp_path / "scratch"))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "1 file(s)" in done.stdout and "are the same as rebuilt" in done.stdout


@pytest.fixture(scope="module")
def signed_package(tmp_path_factory):
    folder = tmp_path_factory.mktemp("signed")
    p12, cert = throwaway_certificate(folder)
    done = package(folder / "dist", ROOT / "build", "--sign", p12, QVR_SIGN_PASSWORD=PASSWORD)
    assert done.returncode == 0, done.stdout + done.stderr
    return shipped(folder / "dist"), cert


def test_signed_package_checks_against_the_unsigned_build(signed_package, sample_package, tmp_path):
    signed, cert = signed_package
    exes = sorted(p.relative_to(signed).as_posix() for p in signed.rglob("*.exe"))
    assert len(exes) == 4
    for exe in exes:
        assert signature_verifies(signed / exe, cert), exe

    # SHA256SUMS holds for the signed files; SHA256SUMS.unsigned lists the
    # programs of the unsigned package, which a rebuild gives.
    listed = checked_sums(signed)
    unsigned = sums(signed / "SHA256SUMS.unsigned")
    assert unsigned == {n: d for n, d in sums(sample_package / "SHA256SUMS").items() if n != "README.txt"}
    for exe in exes:
        # What the README tells a person to do gives the unsigned program.
        stripped = without_signature(signed / exe, tmp_path / exe.replace("/", "-"))
        assert stripped == (sample_package / exe).read_bytes(), exe

    done = compare(sample_package, signed)
    assert done.returncode == 0, done.stdout
    text = (signed / "README.txt").read_text()
    assert "CN=QVR test signer" in text and "not signed" not in text
    for exe in exes:
        assert f"{listed[exe]}  {exe}" in text


def test_signed_program_changed_by_one_byte_fails(signed_package, sample_package, tmp_path):
    signed, cert = signed_package
    changed = tmp_path / "changed"
    shutil.copytree(signed, changed)
    exe = changed / "32-bit" / "recovery-upgrader.exe"
    change_one_byte(exe, exe.stat().st_size // 2)
    assert not signature_verifies(exe, cert)
    done = compare(sample_package, changed)
    assert done.returncode == 1
    assert "DIFFERS 32-bit/recovery-upgrader.exe: differs" in done.stdout


@pytest.mark.parametrize("password, message", [
    (None, "set QVR_SIGN_PASSWORD"), ("not the password", "cannot open")])
def test_signing_refuses_without_the_right_password(tmp_path, password, message):
    p12, _ = throwaway_certificate(tmp_path)
    env = {} if password is None else {"QVR_SIGN_PASSWORD": password}
    done = package(tmp_path / "dist", tmp_path / "builds", "--sign", p12, **env)
    assert done.returncode != 0
    assert message in done.stderr
    assert not (tmp_path / "dist").exists() and not (tmp_path / "builds").exists()
