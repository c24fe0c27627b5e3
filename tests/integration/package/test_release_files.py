"""The package's made files (scripts/release_files.py) on small inputs built
here: the PE checksum against a value worked out by hand, a program padded
for a signature, the version text that names the package, the checksum
lists against sha256sum, README.txt's line ends and the zip's bytes."""
import os
import pathlib
import struct
import subprocess
import sys
import zipfile

import pytest

from release import ROOT

sys.path.insert(0, str(ROOT / "scripts"))
import release_files  # noqa: E402

PE_AT = 0x40
FIELD = PE_AT + 88


def tiny_pe(size):
    """A PE header and nothing else: "MZ", e_lfanew, "PE\\0\\0", junk in the
    checksum field, and two 0xFFFF words that force carries."""
    data = bytearray(size)
    data[:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, PE_AT)
    data[PE_AT:PE_AT + 4] = b"PE\0\0"
    struct.pack_into("<I", data, FIELD, 0xDEADBEEF)
    struct.pack_into("<HH", data, 0xA0, 0xFFFF, 0xFFFF)
    return data


# By hand: 0x5A4D ("MZ") + 0x0040 (e_lfanew) + 0x4550 ("PE") = 0x9FDD; adding
# 0xFFFF with its carry folded back leaves a one's-complement sum as it is,
# so the sum stays 0x9FDD and the checksum is that plus the length.
HAND_SUM = 0x9FDD


def test_pe_checksum_folds_carries_ignores_its_field_and_adds_the_length():
    assert release_files.pe_checksum(tiny_pe(0xC0)) == HAND_SUM + 0xC0
    # An odd last byte counts as the low byte of a last word.
    odd = tiny_pe(0xC1)
    odd[0xC0] = 0x01
    assert release_files.pe_checksum(odd) == HAND_SUM + 0x01 + 0xC1
    assert release_files.pe_checksum(b"MZ" + bytes(0x100)) is None
    assert release_files.checksum_offset(tiny_pe(0xC0)) == FIELD


def test_padding_for_a_signature_keeps_the_program_and_sets_its_checksum(tmp_path):
    program = bytes(tiny_pe(0xC3))
    padded = release_files.aligned_for_signature(program)
    assert len(padded) == 0xC8
    assert padded[:FIELD] == program[:FIELD] and padded[FIELD + 4:0xC3] == program[FIELD + 4:]
    assert padded[0xC3:] == bytes(5)
    assert struct.unpack_from("<I", padded, FIELD)[0] == HAND_SUM + 0xC8
    # Already on a boundary: left alone, checksum field and all.
    whole = bytes(tiny_pe(0xC0))
    assert release_files.aligned_for_signature(whole) == whole

    # The command rewrites the file; a file that is not PE is an error, untouched.
    path = tmp_path / "p.exe"
    path.write_bytes(program)
    assert release_files.main(["x", "align-for-signature", str(path)]) == 0
    assert path.read_bytes() == padded
    path.write_bytes(b"not a program")
    assert release_files.main(["x", "align-for-signature", str(path)]) == 1
    assert path.read_bytes() == b"not a program"


@pytest.mark.parametrize("text, expected", [
    (b"7.5.6a\0junk after the end", "7.5.6a"),
    (b"7.6 beta/2\0", "7.6_beta_2"),  # a name, so no blank or slash
    (b"\0", "unversioned"),
    (b"9" * 40, "9" * 36),  # the field ends at byte 128 without a NUL
])
def test_version_text_names_the_package(text, expected):
    head = bytes(92) + text
    assert release_files.version_of(head) == expected


def test_checksum_lists_satisfy_sha256sum(tmp_path):
    (tmp_path / "b-dir").mkdir()
    (tmp_path / "b-dir" / "SHA256SUMS").write_bytes(b"left out at any depth")
    (tmp_path / "b-dir" / "x.exe").write_bytes(b"program")
    (tmp_path / "a.txt").write_bytes(b"text\r\n")
    (tmp_path / "B.txt").write_bytes(b"")
    listing = release_files.sum_lines(tmp_path, release_files.all_files(tmp_path, {"SHA256SUMS"}))
    assert [line.split("  ")[1] for line in listing.splitlines()] == ["B.txt", "a.txt", "b-dir/x.exe"]
    (tmp_path / "SHA256SUMS").write_text(listing)
    checked = subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=tmp_path, capture_output=True,
                             text=True, timeout=60)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_readme_has_crlf_lines_the_checksums_and_only_folders_that_exist(tmp_path):
    (tmp_path / "64-bit").mkdir()
    (tmp_path / "64-bit" / "staged-upgrader.exe").write_bytes(b"exe")
    args = ["x", "readme", str(tmp_path), "--version=7.6.0", "--epoch=86400", "--linux-folder=linux-x86_64",
            "--linux-on=Linux on x86_64 PCs", "--", "64-bit/staged-upgrader.exe"]
    assert release_files.main(args) == 0
    raw = (tmp_path / "README.txt").read_bytes()
    assert raw.endswith(b"\r\n") and raw.count(b"\n") == raw.count(b"\r\n")
    text = raw.decode()
    digest = release_files.sum_lines(tmp_path, ["64-bit/staged-upgrader.exe"]).strip()
    assert f"\r\n    {digest}\r\n" in text
    # The Linux line needs the Linux program's folder in the package.
    assert "qvr-upgrade  " not in text and "linux-x86_64/" not in text
    assert "source commit (unknown)\r\n  of 1970-01-02 00:00 UTC." in text
    (tmp_path / "linux-x86_64").mkdir()
    assert release_files.main(args) == 0
    assert "\r\n  linux-x86_64/   Linux on x86_64 PCs\r\n" in (tmp_path / "README.txt").read_bytes().decode()


def folder_to_zip(top, newest_first):
    """The same files in a folder, written in either order, with times and
    an umask a fixed package must not show."""
    files = [("README.txt", b"text\r\n", 0o600), ("64-bit/staged-upgrader.exe", b"MZ" * 5000, 0o700)]
    for name, data, mode in (reversed(files) if newest_first else files):
        path = top / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        path.chmod(mode)
        os.utime(path, (1234567890 + len(name), 1234567890 + len(name)))
    return top


def test_zip_comes_out_the_same_from_any_folder_at_any_time(tmp_path):
    first = folder_to_zip(tmp_path / "one" / "pkg", newest_first=False)
    second = folder_to_zip(tmp_path / "two" / "pkg", newest_first=True)
    release_files.write_zip(first, str(tmp_path / "one.zip"), 1700000000)
    release_files.write_zip(second, str(tmp_path / "two.zip"), 1700000000)
    assert (tmp_path / "one.zip").read_bytes() == (tmp_path / "two.zip").read_bytes()
    assert not (tmp_path / "one.zip.partial").exists()

    with zipfile.ZipFile(tmp_path / "one.zip") as archive:
        entries = archive.infolist()
        assert [e.filename for e in entries] == ["pkg/64-bit/", "pkg/64-bit/staged-upgrader.exe", "pkg/README.txt"]
        assert {e.date_time for e in entries} == {(2023, 11, 14, 22, 13, 20)}
        assert [e.external_attr >> 16 for e in entries] == [0o40755, 0o100755, 0o100644]
        assert archive.read("pkg/64-bit/staged-upgrader.exe") == b"MZ" * 5000
        assert entries[1].compress_type == zipfile.ZIP_DEFLATED

    # A zip cannot record a time before 1980: such a time becomes 1980.
    release_files.write_zip(first, str(tmp_path / "old.zip"), 0)
    with zipfile.ZipFile(tmp_path / "old.zip") as archive:
        assert {e.date_time for e in archive.infolist()} == {(1980, 1, 1, 0, 0, 0)}
