#!/usr/bin/env python3
"""The terminal program's transfer against tftpd-hpa, to the same client on
the same link: the simulated device's TFTP client (tools/simdevice) fetches
the sample image over loopback inside a private network namespace, once
from qvr-upgrade (a whole `upgrade` run with a short --update-wait) and once from
in.tftpd, alternately.

    /usr/bin/python3 bench/cli_tftp_bench.py [--runs 7] [--build-dir build/bench]

Builds qvr-upgrade without sanitizers into --build-dir (an optimised tree of
its own).  The time compared is the client's own transfer time (from its
read request to the last ACK, as the device logs it), so the HTTP exchange
around our transfer is not counted.  Every fetch is checked byte for byte
against the image by the device.  Prints each run, the medians and the
ratio ours/theirs; the target is a ratio of 1.0 or less.  Needs root (the
namespace).
"""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tools" / "lab"))
from private_net import PrivateNet  # noqa: E402
from release_build import build_release  # noqa: E402
from simdevice.process import DeviceProcess  # noqa: E402

NAME = "qvr1a2b.bi1"
DEVICE = "127.0.0.2"
THEIR_PORT = 6969


def last_fetch(device, count):
    fetch = device.wait_event("tftp", count, timeout=120)[-1]
    if not fetch["ok"]:
        raise SystemExit(f"a fetch failed: {fetch['error']}")
    return fetch["transfer_seconds"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--build-dir", type=pathlib.Path, default=ROOT / "build" / "bench")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("needs root (a private network namespace)")
    tftpd = shutil.which("in.tftpd") or "/usr/sbin/in.tftpd"
    if not os.path.exists(tftpd):
        raise SystemExit("in.tftpd is needed (Debian package tftpd-hpa)")
    build_release(args.build_dir, "qvr-upgrade")
    cli = args.build_dir / "bin" / "qvr-upgrade"
    image = args.build_dir / "firmware" / "sample-7.5.6a.bin"

    net = PrivateNet()
    # in.tftpd resolves its address with AI_ADDRCONFIG, which finds nothing
    # in a namespace whose only IPv4 addresses are loopback: one veth pair,
    # both ends inside (still no route out), gives it an IPv4 address.
    net.popen(["sh", "-c", "ip link add v0 type veth peer name w0 && ip addr add 10.99.0.1/24 dev v0 && "
                           "ip link set v0 up && ip link set w0 up"]).wait(timeout=10)
    with tempfile.TemporaryDirectory(prefix="cli-bench-") as tmp:
        tmp = pathlib.Path(tmp)
        root = tmp / "root"
        root.mkdir()
        shutil.copyfile(image, root / NAME)
        for path, mode in ((tmp, 0o755), (root, 0o755), (root / NAME, 0o644)):
            os.chmod(path, mode)
        device = DeviceProcess(tmp / "device.log", "--address", DEVICE, "--port", "80", "--auth", "none",
                               "--install-delay", "0", "--tftp-dally", "0.2", "--expect-image", str(image),
                               popen=net.popen)
        theirs_proc = net.popen([tftpd, "-L", "-s", str(root), "-a", f"127.0.0.1:{THEIR_PORT}"],
                                stderr=subprocess.PIPE)
        time.sleep(0.3)
        if theirs_proc.poll() is not None:
            raise SystemExit("in.tftpd did not start: " + theirs_proc.stderr.read().decode())
        mine, reference = [], []
        fetches = 0
        try:
            for run in range(args.runs):
                done = net.popen([str(cli), "upgrade", DEVICE, "--image", str(image), "--yes", "--update-wait", "0.5",
                                  "--pc-address", "127.0.0.1", "--quiet"], stdout=subprocess.DEVNULL)
                if done.wait(timeout=120) != 0:
                    raise SystemExit("qvr-upgrade failed")
                fetches += 1
                a = last_fetch(device, fetches)
                target = f"/admin/upgrade?tftp://127.0.0.1:{THEIR_PORT}/{NAME}"
                net.call(lambda: urllib.request.urlopen(f"http://{DEVICE}{target}", timeout=10).read())
                fetches += 1
                b = last_fetch(device, fetches)
                time.sleep(0.3)  # the device installs (at once) and is ready again
                mine.append(a)
                reference.append(b)
                print(f"run {run + 1}: ours {a:.3f} s   tftpd-hpa {b:.3f} s", flush=True)
        finally:
            device.stop()
            net.close()

    m, r = statistics.median(mine), statistics.median(reference)
    ratio = m / r
    size = image.stat().st_size
    print(f"{size:,} bytes to the simulated device's client over loopback, {args.runs} runs each")
    print(f"median qvr-upgrade {m:.3f} s  ({size / m / 1e6:.1f} MB/s)")
    print(f"median tftpd-hpa   {r:.3f} s  ({size / r / 1e6:.1f} MB/s)")
    print(f"ratio ours/theirs  {ratio:.2f}  (target <= 1.0: {'met' if ratio <= 1.0 else 'NOT met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
