#!/usr/bin/env python3
"""Makes a sample firmware image, or checks an image before it is embedded.

  make_image.py OUT [--product-id ID] [--version TEXT] [--size N] [--seed S]
  make_image.py --check IMAGE

The sample is deterministic: the same options always give the same bytes.
Its header has the layout the programs read: the product ID, a blank and
"fIrMwArE" at offset 0; 128 at 80; 64 at 84; the total length at 88 (all
big-endian); the NUL-terminated version text at 92.  The rest is
pseudo-random filler, so a transfer that shifts or repeats a block is caught
by a byte comparison.

--check refuses an image whose version text has no NUL inside the 128-byte
header, that is shorter than the header, or that is larger than 33,553,919
bytes (65,535 blocks of 512, the most a lock-step TFTP transfer serves
without its block number wrapping).
"""
import argparse
import hashlib
import struct
import sys

HEADER_SIZE = 128
VERSION_OFFSET = 92
MAX_SIZE = 65535 * 512 - 1


def make_image(product_id: bytes, version: bytes, size: int, seed: bytes) -> bytes:
    header = bytearray(HEADER_SIZE)
    magic = (product_id + b" fIrMwArE")[:16]
    header[0:len(magic)] = magic
    header[48:80] = hashlib.sha256(b"opaque" + seed).digest()
    struct.pack_into(">III", header, 80, HEADER_SIZE, 64, size)
    if len(version) > HEADER_SIZE - VERSION_OFFSET - 1:
        raise SystemExit("version text too long for the header (at most 35 characters)")
    header[VERSION_OFFSET:VERSION_OFFSET + len(version)] = version
    body = bytearray()
    counter = 0
    need = max(0, size - HEADER_SIZE)
    while len(body) < need:
        body += hashlib.sha256(seed + counter.to_bytes(8, "big")).digest()
        counter += 1
    image = bytes(header) + bytes(body[:need])
    return image[:size]


def check_image(path: str) -> str | None:
    with open(path, "rb") as f:
        data = f.read(MAX_SIZE + 1)
    if len(data) > MAX_SIZE:
        return ("image is larger than 33,553,919 bytes, the most a lock-step TFTP "
                "transfer serves before its 16-bit block number wraps")
    if len(data) < HEADER_SIZE:
        return "image is shorter than its 128-byte header"
    if b"\0" not in data[VERSION_OFFSET:HEADER_SIZE]:
        return "the version text at offset 92 has no NUL inside the 128-byte header"
    return None


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out", nargs="?")
    p.add_argument("--product-id", default="SqUoRe5")
    p.add_argument("--version", default="7.5.6a")
    p.add_argument("--size", type=int, default=4309491)
    p.add_argument("--seed", default="qvr-sample")
    p.add_argument("--check", metavar="IMAGE")
    a = p.parse_args()
    if a.check:
        problem = check_image(a.check)
        if problem:
            print(f"error: cannot embed {a.check}: {problem}", file=sys.stderr)
            return 1
        return 0
    if not a.out:
        p.error("OUT is required")
    image = make_image(a.product_id.encode("latin-1"), a.version.encode("latin-1"), a.size,
                       a.seed.encode())
    with open(a.out, "wb") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
