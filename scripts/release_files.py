#!/usr/bin/env python3
"""The files of a package that are made rather than built: the name a
firmware image gives the package, the Windows programs made ready for a
signature, the checksum lists, the text for users and the zip.
scripts/package calls one job at a time; scripts/compare-packages reads
the PE layout from here too.

    release_files.py version-of IMAGE
    release_files.py pe-checksum FILE
    release_files.py align-for-signature PROGRAM
    release_files.py sums FOLDER [PATH...]
    release_files.py readme FOLDER --version V [options] PATH...
    release_files.py zip FOLDER ZIP EPOCH

Every output is a function of its inputs alone (no clock, no locale, no
order the file system happens to give), so two runs on the same source
write the same bytes.
"""
import argparse
import hashlib
import os
import pathlib
import re
import struct
import sys
import time
import zipfile

# The version text of a firmware image: NUL-terminated at this offset of
# its header, as the programs show it.
VERSION_OFFSET = 92
VERSION_END = 128

# The PE checksum: four bytes at this offset of the optional header, which
# starts 24 bytes after the "PE\0\0" signature e_lfanew (at 0x3C) points to.
CHECKSUM_IN_HEADER = 24 + 64

# A zip cannot record a time before 1980.
ZIP_EPOCH_MIN = 315532800


def version_of(image_head):
    """The version text of an image (its first 128 bytes will do), made fit
    for a file name: anything but letters, digits and ._+- becomes _."""
    text = image_head[VERSION_OFFSET:VERSION_END].split(b"\0")[0].decode("latin-1")
    return re.sub(r"[^A-Za-z0-9._+-]", "_", text) or "unversioned"


def pe_header(data):
    """Offset of the "PE\\0\\0" signature, or None for a file that is not PE."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return pe if data[pe:pe + 4] == b"PE\0\0" else None


def checksum_offset(data):
    """Offset of the PE checksum field, or None for a file that is not PE."""
    pe = pe_header(data)
    if pe is None or pe + CHECKSUM_IN_HEADER + 4 > len(data):
        return None
    return pe + CHECKSUM_IN_HEADER


def pe_checksum(data):
    """The checksum Windows expects in a PE file's header: the file's 16-bit
    words (the field itself as zero, an odd last byte padded) added with the
    carries folded back in, plus the file's length."""
    field = checksum_offset(data)
    if field is None:
        return None
    total = 0
    words = bytes(data[:field]) + b"\0\0\0\0" + bytes(data[field + 4:])
    if len(words) % 2:
        words += b"\0"
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def certificate_table(data):
    """(offset, size) of a PE file's certificate table; (0, 0) when it has
    none or is no PE file."""
    pe = pe_header(data)
    if pe is None or pe + 24 + 2 > len(data):
        return 0, 0
    optional = pe + 24
    # The data directories follow the optional header's fixed fields, whose
    # length depends on PE32 or PE32+; the certificate table is the fifth.
    fixed = {0x10B: 96, 0x20B: 112}.get(struct.unpack_from("<H", data, optional)[0])
    if fixed is None or optional + fixed + 5 * 8 > len(data):
        return 0, 0
    return struct.unpack_from("<II", data, optional + fixed + 4 * 8)


def aligned_for_signature(data):
    """The program as signing and then removing the signature leave it: an
    Authenticode signature starts on an 8-byte boundary, so a program whose
    size is not a multiple of 8 gets zeros up to one and its checksum set
    again. Other programs come back unchanged; None when it is not PE."""
    field = checksum_offset(data)
    if field is None:
        return None
    if len(data) % 8 == 0:
        return bytes(data)
    padded = bytearray(data) + bytes(8 - len(data) % 8)
    struct.pack_into("<I", padded, field, pe_checksum(padded))
    return bytes(padded)


def sum_lines(folder, paths):
    """The lines sha256sum writes for the files (paths relative to folder),
    in the order given."""
    return "".join(f"{hashlib.sha256((folder / p).read_bytes()).hexdigest()}  {p}\n" for p in paths)


def all_files(folder, leave_out=()):
    """Every file under folder, relative, sorted by byte value."""
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*")
                  if p.is_file() and p.name not in leave_out)


def readme_text(version, checksums, *, transition=None, sample=False, linux_folder=None, linux_on="",
                signer=None, commit="", epoch=0):
    """The text for the people who run the programs, with CR LF line ends
    (it is read on Windows). checksums is the programs' sha256sum lines;
    linux_folder names the Linux program's folder when the package has one,
    linux_on says which machines it runs on; signer names who signed the
    Windows programs (None: unsigned)."""
    out = [f"QVR firmware upgrade utilities: firmware {version}"]
    if sample:
        out += ["",
                "SAMPLE: these programs carry a generated sample image, not real firmware.",
                "They are for trying the programs out. Never use them on a device."]
    out += ["",
            f"Each program carries firmware {version} inside it: there is nothing to",
            "install or configure. Start it and follow its dialogs.",
            "",
            f"  staged-upgrader.exe    installs {version} on a working QVR device."]
    if transition:
        out.append(f"                         It installs {transition} first, then {version}, in one run.")
    out += [f'  recovery-upgrader.exe  "Upgrade Firmware" installs {version} on a working',
            "                         device" + (" (directly, in one stage)" if transition else "") + ".",
            '                         "Recover Firmware" installs it on a device whose',
            "                         firmware is corrupt and has no web pages any more."]
    if linux_folder:
        out += ["  qvr-upgrade            the same upgrade and recovery from a Linux",
                "                         terminal, for a technician or a script; it takes",
                '                         the image as a file ("qvr-upgrade --help").']
    out += ["",
            "Which one to run:",
            "  64-bit\\         64-bit Windows 7 or later (8, 8.1, 10, 11)",
            "  32-bit\\         every Windows 7 or later, 32-bit or 64-bit"]
    if linux_folder:
        out.append(f"  {linux_folder + '/':<16}{linux_on}")
    out += ["",
            "Before you start:",
            "  - The PC and the device must be on the same subnet (the same LAN, no",
            "    router between them).",
            "  - An upgrade asks for the device's admin password.",
            "  - A recovery asks for the device's serial number, printed on the",
            "    bar-code label at the back of the unit.",
            "  - If Windows asks whether to allow the program through the firewall,",
            "    allow it: the device fetches the firmware from the PC.",
            "  - Do not unplug the device until its Status Light stops blinking.",
            "",
            "Checking what you downloaded:",
            "  The SHA-256 checksums of the programs are:",
            ""]
    out += ["    " + line for line in (checksums.rstrip("\n").split("\n"))]
    out += ["",
            "  Compare them with the ones the maker publishes: in PowerShell",
            '  "Get-FileHash -Algorithm SHA256 FILE", in a Windows command prompt',
            '  "certutil -hashfile FILE SHA256", on Linux "sha256sum -c SHA256SUMS"',
            "  (SHA256SUMS lists every file here)."]
    if signer is not None:
        out += ["  The Windows programs are signed (Authenticode, SHA-256) by",
                f"    {signer}",
                "  When that certificate comes from an authority Windows trusts, Windows",
                "  names this publisher before it runs them; right-click a program,",
                "  Properties, Digital Signatures shows the signature."]
    else:
        out.append("  The programs are not signed: Windows may warn before it runs them.")
    built = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(epoch))
    out += [f"  Built from source commit {commit or '(unknown)'}",
            f"  of {built}. Building that commit again with",
            '  "scripts/package" gives the same programs, byte for byte'
            + ("," if signer is not None else ".")]
    if signer is not None:
        out.append("  once their signatures are removed (SHA256SUMS.unsigned lists them so).")
    return "".join(line + "\r\n" for line in out)


def write_zip(folder, out, epoch):
    """folder as a zip at out, the folder's name its top: entries sorted,
    each with the time epoch (1980 at the earliest) and the permissions of
    a Unix file (0755 for folders and programs, 0644 otherwise), compressed
    at level 9. Written beside out and renamed, so out is whole or absent."""
    folder = pathlib.Path(folder)
    stamp = time.gmtime(max(epoch, ZIP_EPOCH_MIN))[:6]
    with zipfile.ZipFile(out + ".partial", "w") as archive:
        for path in sorted(folder.rglob("*"), key=lambda p: p.relative_to(folder).as_posix()):
            name = f"{folder.name}/{path.relative_to(folder).as_posix()}" + ("/" if path.is_dir() else "")
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3
            mode = 0o40755 if path.is_dir() else 0o100755 if os.access(path, os.X_OK) else 0o100644
            entry.external_attr = mode << 16
            if path.is_dir():
                archive.writestr(entry, b"")
            else:
                entry.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(entry, path.read_bytes(), compresslevel=9)
    os.replace(out + ".partial", out)


def fail(message):
    print(f"release_files: {message}", file=sys.stderr)
    return 1


def main(argv):
    parser = argparse.ArgumentParser(prog="release_files.py")
    jobs = parser.add_subparsers(dest="job", required=True)
    jobs.add_parser("version-of", help="the version text of a firmware image").add_argument("image")
    jobs.add_parser("pe-checksum", help="the checksum a PE file should carry, in hex").add_argument("file")
    jobs.add_parser("align-for-signature", help="pad a program for a signature").add_argument("program")
    job = jobs.add_parser("sums", help="sha256sum lines: of PATHs, or of every file but SHA256SUMS")
    job.add_argument("folder")
    job.add_argument("paths", nargs="*")
    job = jobs.add_parser("readme", help="write FOLDER/README.txt for the programs PATH...")
    job.add_argument("folder")
    job.add_argument("paths", nargs="+")
    job.add_argument("--version", required=True)
    job.add_argument("--transition-version")
    job.add_argument("--sample", action="store_true")
    job.add_argument("--linux-folder")
    job.add_argument("--linux-on", default="")
    job.add_argument("--signer")
    job.add_argument("--commit", default="")
    job.add_argument("--epoch", type=int, required=True)
    job = jobs.add_parser("zip", help="the folder as a zip")
    job.add_argument("folder")
    job.add_argument("zip")
    job.add_argument("epoch", type=int)
    args = parser.parse_args(argv[1:])

    if args.job == "version-of":
        with open(args.image, "rb") as image:
            print(version_of(image.read(VERSION_END)))
    elif args.job == "pe-checksum":
        checksum = pe_checksum(pathlib.Path(args.file).read_bytes())
        if checksum is None:
            return fail(f"{args.file} is not a PE file")
        print(f"{checksum:08x}")
    elif args.job == "align-for-signature":
        path = pathlib.Path(args.program)
        data = path.read_bytes()
        aligned = aligned_for_signature(data)
        if aligned is None:
            return fail(f"{path} is not a PE file")
        if aligned != data:
            path.write_bytes(aligned)
    elif args.job == "sums":
        folder = pathlib.Path(args.folder)
        sys.stdout.write(sum_lines(folder, args.paths or all_files(folder, {"SHA256SUMS"})))
    elif args.job == "readme":
        folder = pathlib.Path(args.folder)
        linux = args.linux_folder if args.linux_folder and (folder / args.linux_folder).is_dir() else None
        text = readme_text(args.version, sum_lines(folder, args.paths), transition=args.transition_version,
                           sample=args.sample, linux_folder=linux, linux_on=args.linux_on,
                           signer=args.signer, commit=args.commit, epoch=args.epoch)
        (folder / "README.txt").write_bytes(text.encode("utf-8", "surrogateescape"))
    elif args.job == "zip":
        write_zip(args.folder, args.zip, args.epoch)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
