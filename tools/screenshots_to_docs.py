#!/usr/bin/env python3
"""Turns the main job's screenshots into the small pictures the README shows.

  tools/screenshots_to_docs.py [--screenshots DIR] [--docs DIR]

The main job walks the staged-upgrader under Wine through a whole upgrade of
the simulated device and saves a picture of every dialog it meets:

  flock /tmp/qvr-e2e-global.lock tests/e2e/run.sh -k test_main_job

This takes the dialogs of that upgrade in order (notice, address, password,
confirm, upload, success), crops each to the dialog (any desktop around it
goes), reduces it to 16 colours (the dialogs are drawn with bitmap fonts and
flat colours, so nothing visible is lost) and writes
docs/upgrade-<n>-<step>.png. Needs ImageMagick's convert (scripts/setup
installs it).
"""
import argparse
import fnmatch
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
# Step name and the main job's file name for it; product, address and
# version are left open so another sample image needs no change here.
STEPS = [
    ("notice", "test_main_job-*_Firmware_Upgrade.png"),
    ("address", "test_main_job-*_Firmware_Upgrade-address.png"),
    ("password", "test_main_job-Enter_Password_Information.png"),
    ("confirm", "test_main_job-Confirm_Upgrade_to_Ver.*.png"),
    ("upload", "test_main_job-Uploading_*Firmware.png"),
    ("success", "test_main_job-QVR_*_Upgrade_Successful.png"),
]
RERUN = "run the main job first: flock /tmp/qvr-e2e-global.lock tests/e2e/run.sh -k test_main_job"


def find_screenshots(folder):
    """{step: path}, or exits naming what is missing or ambiguous."""
    names = sorted(os.listdir(folder)) if folder.is_dir() else []
    found, problems = {}, []
    for step, pattern in STEPS:
        matches = fnmatch.filter(names, pattern)
        if len(matches) == 1:
            found[step] = folder / matches[0]
        else:
            problems.append(f"{step}: {len(matches)} pictures match {pattern}")
    if problems:
        sys.exit(f"screenshots_to_docs: in {folder}:\n  " + "\n  ".join(problems) + f"\n{RERUN}")
    return found


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--screenshots", type=pathlib.Path, default=ROOT / "build" / "e2e-screenshots")
    p.add_argument("--docs", type=pathlib.Path, default=ROOT / "docs")
    a = p.parse_args()
    convert = shutil.which("convert")
    if convert is None:
        sys.exit("screenshots_to_docs: ImageMagick's convert is missing: run scripts/setup")
    shots = find_screenshots(a.screenshots)

    program = ROOT / "build" / "win64" / "bin" / "staged-upgrader.exe"
    if program.is_file() and min(s.stat().st_mtime for s in shots.values()) < program.stat().st_mtime:
        print(f"screenshots_to_docs: note: the pictures are older than {program.relative_to(ROOT)}; "
              f"to show what it draws now, {RERUN}", file=sys.stderr)

    a.docs.mkdir(parents=True, exist_ok=True)
    total = 0
    for n, (step, _) in enumerate(STEPS, 1):
        out = a.docs / f"upgrade-{n}-{step}.png"
        temporary = out.with_suffix(".tmp.png")
        # The frame of a dialog is never pure black, the empty Xvfb desktop is:
        # a black border added and trimmed away again takes any desktop along.
        subprocess.run([convert, str(shots[step]), "-bordercolor", "black", "-border", "1", "-trim", "+repage",
                        "+dither", "-colors", "16", "-strip", "-define", "png:compression-level=9",
                        f"PNG8:{temporary}"], check=True, timeout=60)
        temporary.replace(out)
        size = out.stat().st_size
        total += size
        print(f"{out.relative_to(ROOT) if out.is_relative_to(ROOT) else out}: {size} bytes "
              f"(from {shots[step].name})")
    print(f"screenshots_to_docs: {len(STEPS)} pictures, {total} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
