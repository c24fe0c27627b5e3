#!/usr/bin/env python3
"""A picture of qvr-upgrade's live progress for the README: a real fleet run
on a pseudo-terminal, taken while the devices are in flight.

    tools/fleet_screenshot.py [--devices 12] [--at 1.2] [--out docs/fleet-progress.png]

Starts the simulated device at 127.0.0.2.. in a private network namespace
(loopback only), runs `qvr-upgrade upgrade ... --yes` from the build
(QVR_BUILD_DIR, default build/native) on an 100x30 pseudo-terminal, keeps
what it writes, and --at seconds after the first transfer began replays
that output on a small screen model (the program only moves the cursor up,
returns it and clears below) and draws the screen with ImageMagick's
convert.  Needs root (the namespace).
"""
import argparse
import os
import pathlib
import pty
import re
import select
import struct
import subprocess
import sys
import tempfile
import termios
import fcntl
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tools" / "lab"))
from private_net import PrivateNet  # noqa: E402
from simdevice.process import DeviceProcess  # noqa: E402

BUILD = pathlib.Path(os.environ.get("QVR_BUILD_DIR", ROOT / "build" / "native"))
ROWS, COLUMNS = 30, 100
RUN_S = 120


def screen_of(output):
    """The screen after `output`: lines, with CR, LF, ESC[nA and ESC[J."""
    lines, row, col = [""], 0, 0
    for token in re.findall(r"\x1b\[(\d*)([A-Za-z])|(\r)|(\n)|([^\x1b\r\n]+)", output):
        count, command, cr, lf, text = token
        if command == "A":
            row = max(0, row - int(count or 1))
        elif command == "J":
            lines = lines[:row + 1]
            lines[row] = lines[row][:col]
        elif command == "K":
            lines[row] = lines[row][:col]
        elif cr:
            col = 0
        elif lf:
            row += 1
            col = 0
            if row == len(lines):
                lines.append("")
        elif text:
            line = lines[row].ljust(col)
            lines[row] = line[:col] + text + line[col + len(text):]
            col += len(text)
    return lines[-ROWS:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devices", type=int, default=12)
    parser.add_argument("--at", type=float, default=1.2, help="seconds after the confirmation")
    parser.add_argument("--out", default=str(ROOT / "docs" / "fleet-progress.png"))
    args = parser.parse_args()
    image = BUILD / "firmware" / "sample-7.5.6a.bin"
    cli = BUILD / "bin" / "qvr-upgrade"
    net = PrivateNet()
    work = pathlib.Path(tempfile.mkdtemp(prefix="qvr-shot-"))
    devices = []
    try:
        addresses = [f"127.0.0.{n}" for n in range(2, 2 + args.devices)]
        with ThreadPoolExecutor(max_workers=len(addresses)) as pool:
            devices = list(pool.map(lambda a: DeviceProcess(
                work / f"{a}.log", "--address", a, "--port", "80", "--auth", "none", "--install-delay", "0.2",
                "--tftp-dally", "0.2", "--fetch-delay", str(0.3 * (int(a.split(".")[-1]) % 4)),
                "--serial-number", f"QVR00100{int(a.split('.')[-1]):02d}",
                popen=net.popen), addresses))
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLUMNS, 0, 0))
        env = dict(os.environ, TERM="xterm", ASAN_OPTIONS="detect_leaks=0")
        proc = net.popen([str(cli), "upgrade", *addresses, "--image", str(image), "--yes", "--update-wait", "4",
                          "--parallel", "8", "--pc-address", "127.0.0.1"], stdin=slave, stdout=slave,
                         stderr=slave, env=env, start_new_session=True)
        os.close(slave)
        seen, started, shot = b"", None, None
        deadline = time.monotonic() + RUN_S
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.05)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
            if started is None and b"in flight" in seen:
                started = time.monotonic()
            # Taken between two redraws: once the totals line has been written.
            if (started is not None and shot is None and time.monotonic() - started >= args.at
                    and seen.rstrip(b"\r\n").endswith(b"sent")):
                shot = seen.decode("utf-8", "replace")
            if proc.poll() is not None and not select.select([master], [], [], 0)[0]:
                break
        proc.wait(timeout=30)
        os.close(master)
        if shot is None:
            sys.exit("the run ended before the picture was due: " + seen.decode("utf-8", "replace")[-400:])
        text = "\n".join(line.rstrip() for line in screen_of(shot.replace("\r\n", "\n")))
        last = addresses[-1].split(".")[-1]
        text = f"$ qvr-upgrade upgrade 127.0.0.2-{last} --image firmware.bin --yes\n" + text.strip("\n")
        # One label a line, stacked: this machine's ImageMagick policy
        # refuses long label texts.  % and \\ are convert's escapes: doubled.
        labels = ["label:" + (line.replace("\\", "\\\\").replace("%", "%%") or " ") for line in text.split("\n")]
        subprocess.run(["convert", "-background", "#1e1e1e", "-fill", "#d8d8d8", "-font", "DejaVu-Sans-Mono",
                        "-pointsize", "13", *labels, "-gravity", "West", "-append", "-border", "10",
                        "-bordercolor", "#1e1e1e", "-colors", "8", args.out], check=True)
        print(text)
        print(f"written: {args.out}")
    finally:
        for device in devices:
            device.stop()
        net.close()


if __name__ == "__main__":
    main()
