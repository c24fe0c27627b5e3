#!/usr/bin/env python3
"""Write the upgraders' icons as .ico files.

Each icon holds a single 32x32 image with 16 colours (4 bits per pixel), the
form the dialog templates expect. The picture is a rounded square in the
icon's colour with a white letter on it:

    106  blue square, "Q"   (recovery-upgrader, address dialogs)
    165  red square,  "R"   (recovery-upgrader, second icon)
    286  teal square, "S"   (staged-upgrader, phone-family address dialog)

Any other id gets a colour and a pattern derived from the number, so the
tool never fails on a new id. The output depends on the id alone: the same
id always gives the same bytes, so builds are reproducible.

Usage: make_icon.py --id 106 --output icon_106.ico
"""

import argparse
import os
import struct
import sys

SIZE = 32

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREY, WHITE = 0, 8, 15

# 5x7 glyphs, one string per row, "#" for a set pixel.
GLYPHS = {
    "Q": [".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
}

# id -> (fill colour, border colour, letter)
DESIGNS = {
    106: (12, 4, "Q"),
    165: (9, 1, "R"),
    286: (6, 0, "S"),
}


def glyph_for_unknown(icon_id):
    """A symmetric 5x7 pattern made from the bits of the id."""
    rows = []
    for r in range(7):
        bits = (icon_id * 2654435761 >> (r * 3)) & 0x7
        left = "".join("#" if bits & (1 << c) else "." for c in range(3))
        rows.append(left + left[1::-1])
    return rows


def design_for(icon_id):
    if icon_id in DESIGNS:
        fill, border, letter = DESIGNS[icon_id]
        return fill, border, GLYPHS[letter]
    fill = 1 + icon_id % 14          # any colour but black and white
    if fill == GREY:
        fill = 7
    return fill, BLACK, glyph_for_unknown(icon_id)


def draw(icon_id):
    """Returns (pixels, transparent): 32 rows of palette indices, top row
    first, and a matching grid of transparency flags."""
    fill, border, glyph = design_for(icon_id)
    pixels = [[0] * SIZE for _ in range(SIZE)]
    transparent = [[False] * SIZE for _ in range(SIZE)]

    # Rounded square: cut the corners by a radius of 3 pixels.
    def outside(x, y):
        for cx, cy in ((3, 3), (SIZE - 4, 3), (3, SIZE - 4), (SIZE - 4, SIZE - 4)):
            dx = cx - x if x < 3 else (x - cx if x > SIZE - 4 else 0)
            dy = cy - y if y < 3 else (y - cy if y > SIZE - 4 else 0)
            if dx > 0 and dy > 0 and dx * dx + dy * dy > 10:
                return True
        return False

    for y in range(SIZE):
        for x in range(SIZE):
            if outside(x, y):
                transparent[y][x] = True
            elif outside(x - 1, y) or outside(x + 1, y) or outside(x, y - 1) \
                    or outside(x, y + 1) or x in (0, SIZE - 1) or y in (0, SIZE - 1):
                pixels[y][x] = border
            else:
                pixels[y][x] = fill

    # The letter, scaled by 3 and centred, with a one-pixel shadow.
    scale = 3
    width, height = len(glyph[0]) * scale, len(glyph) * scale
    left, top = (SIZE - width) // 2, (SIZE - height) // 2
    for shadow, colour in ((1, BLACK), (0, WHITE)):
        for gy, row in enumerate(glyph):
            for gx, cell in enumerate(row):
                if cell != "#":
                    continue
                for sy in range(scale):
                    for sx in range(scale):
                        x = left + gx * scale + sx + shadow
                        y = top + gy * scale + sy + shadow
                        if 1 <= x < SIZE - 1 and 1 <= y < SIZE - 1:
                            pixels[y][x] = colour
    return pixels, transparent


def encode_ico(pixels, transparent):
    """One-image .ico: directory, BITMAPINFOHEADER (height doubled for the
    mask), palette, 4-bit colour rows and 1-bit mask rows, both bottom-up."""
    xor_row = SIZE // 2                   # 16 bytes, already a multiple of 4
    and_row = ((SIZE + 31) // 32) * 4     # 4 bytes
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):
        row = pixels[y]
        for x in range(0, SIZE, 2):
            xor.append((row[x] << 4) | row[x + 1])
        bits = bytearray(and_row)
        for x in range(SIZE):
            if transparent[y][x]:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    assert len(xor) == xor_row * SIZE and len(mask) == and_row * SIZE

    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)

    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main(argv):
    parser = argparse.ArgumentParser(description="Write a 32x32 16-colour icon.")
    parser.add_argument("--id", type=int, required=True, help="icon resource id")
    parser.add_argument("--output", required=True, help=".ico file to write")
    args = parser.parse_args(argv)
    if args.id <= 0 or args.id > 0xFFFF:
        parser.error("the id must be 1..65535")

    data = encode_ico(*draw(args.id))
    # Write next to the target and rename, so an interrupted build never
    # leaves a truncated icon that windres would embed.
    temporary = args.output + ".tmp"
    with open(temporary, "wb") as f:
        f.write(data)
    os.replace(temporary, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
