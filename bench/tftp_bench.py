#!/usr/bin/env python3
"""Throughput of our TFTP server against tftpd-hpa, both serving the sample
image to curl over loopback in 512-byte lock-step blocks.

    /usr/bin/python3 bench/tftp_bench.py [--runs 7] [--build-dir build/bench]

Builds tools/native/tftp_serve without sanitizers into --build-dir (an
optimised tree of its own, so the figures are not those of an instrumented
build), then alternates runs: tftp_serve (one transfer per process; the time
counted is curl's, after the server has bound its port) and in.tftpd (started
once, in the foreground, on a test port of its own).  Every fetched copy is
compared with the image.  Prints each run, the medians and the ratio
ours/theirs; the target is a ratio of 1.2 or less.
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

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from native.tftp_serve.process import TftpServe  # noqa: E402
from release_build import build_release  # noqa: E402

NAME = "qvr1a2b.bi1"
OUR_FIRST_PORT = 7069
THEIR_PORT = 7169


def curl_seconds(port, out):
    if out.exists():
        out.unlink()
    start = time.perf_counter()
    subprocess.run(["curl", "-s", "--max-time", "60", "--tftp-blksize", "512", "-o", str(out),
                    f"tftp://127.0.0.1:{port}//{NAME}"], check=True, timeout=90)
    return time.perf_counter() - start


def ours(serve, image, out):
    server = TftpServe(serve, image, "/" + NAME, first_port=OUR_FIRST_PORT, limit_s=60)
    try:
        return curl_seconds(server.port, out)
    finally:
        server.finish()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--build-dir", type=pathlib.Path, default=ROOT / "build" / "bench")
    args = parser.parse_args()
    tftpd = shutil.which("in.tftpd") or "/usr/sbin/in.tftpd"
    for tool in ("curl", tftpd):
        if shutil.which(tool) is None and not os.path.exists(tool):
            raise SystemExit(f"{tool} is needed (Debian packages curl, tftpd-hpa)")

    build_release(args.build_dir, "tftp_serve")
    serve = args.build_dir / "tools" / "tftp_serve" / "tftp_serve"
    image = args.build_dir / "firmware" / "sample-7.5.6a.bin"
    expected = image.read_bytes()

    with tempfile.TemporaryDirectory(prefix="tftp-bench-") as tmp:
        tmp = pathlib.Path(tmp)
        root = tmp / "root"
        root.mkdir()
        shutil.copyfile(image, root / NAME)
        os.chmod(tmp, 0o755)
        os.chmod(root, 0o755)
        os.chmod(root / NAME, 0o644)
        out = tmp / "fetched.bin"
        # -L: stay in the foreground, so it is ours to stop; -s: serve from root.
        theirs_proc = subprocess.Popen([tftpd, "-L", "-s", str(root), "-a", f"127.0.0.1:{THEIR_PORT}"],
                                       stderr=subprocess.PIPE)
        time.sleep(0.3)
        if theirs_proc.poll() is not None:
            raise SystemExit("in.tftpd did not start: " + theirs_proc.stderr.read().decode())
        mine, reference = [], []
        try:
            for run in range(args.runs):
                a = ours(serve, image, out)
                if out.read_bytes() != expected:
                    raise SystemExit("tftp_serve: the fetched copy differs from the image")
                b = curl_seconds(THEIR_PORT, out)
                if out.read_bytes() != expected:
                    raise SystemExit("in.tftpd: the fetched copy differs from the image")
                mine.append(a)
                reference.append(b)
                print(f"run {run + 1}: ours {a:.3f} s   tftpd-hpa {b:.3f} s", flush=True)
        finally:
            theirs_proc.terminate()
            theirs_proc.wait(timeout=10)

    m, r = statistics.median(mine), statistics.median(reference)
    ratio = m / r
    print(f"{len(expected):,} bytes, {len(expected) // 512 + 1:,} blocks of 512, curl over loopback, {args.runs} runs each")
    print(f"median ours       {m:.3f} s  ({len(expected) / m / 1e6:.1f} MB/s)")
    print(f"median tftpd-hpa  {r:.3f} s  ({len(expected) / r / 1e6:.1f} MB/s)")
    print(f"ratio ours/theirs {ratio:.2f}  (target <= 1.2: {'met' if ratio <= 1.2 else 'NOT met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
