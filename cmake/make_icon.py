#!/usr/bin/env python3
"""Writes the program's icon, drawn here so nothing is downloaded: for Windows a .ico with a
16x16 and a 32x32 image, for the Linux desktop a 48x48 PNG.

Usage: make_icon.py OUTPUT.ico | OUTPUT.png

The picture is a dark-blue rounded tile with a white "T" and an orange bar under it (a current
level). Images are 32-bit BGRA bitmaps with their AND masks, which every Windows version reads.
"""

import struct
import sys
import zlib

BLUE = (0x8A, 0x4A, 0x1F, 0xFF)  # BGRA
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
ORANGE = (0x1E, 0x8C, 0xF0, 0xFF)
CLEAR = (0, 0, 0, 0)


def pixel(x, y, size):
    """The colour at (x, y), y counted from the top, in a tile of size x size."""
    unit = size / 16.0
    radius = 3 * unit
    # Rounded corners: transparent outside a quarter circle in each corner.
    for cx, cy in ((radius, radius), (size - radius, radius), (radius, size - radius),
                   (size - radius, size - radius)):
        px, py = x + 0.5, y + 0.5
        in_corner_box = (px < radius or px > size - radius) and (py < radius or py > size - radius)
        if in_corner_box and (px - cx) ** 2 + (py - cy) ** 2 > radius ** 2:
            return CLEAR
    u, v = x / unit, y / unit  # position in 16ths of the tile
    if 3 <= v < 5 and 3 <= u < 13:  # the T's bar
        return WHITE
    if 5 <= v < 10 and 7 <= u < 9:  # the T's stem
        return WHITE
    if 11 <= v < 13 and 3 <= u < 11:  # the level bar
        return ORANGE
    return BLUE


def image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, then the 1-bit AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    mask_rows = []
    mask_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        colours = [pixel(x, y, size) for x in range(size)]
        rows.append(b"".join(bytes(c) for c in colours))
        bits = bytearray(mask_stride)
        for x, c in enumerate(colours):
            if c[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(bytes(bits))
    return header + b"".join(rows) + b"".join(mask_rows)


def png(size):
    """The same picture as a PNG: RGBA rows, each with filter byte 0."""
    raw = b"".join(
        b"\0" + b"".join(bytes((c[2], c[1], c[0], c[3])) for c in (pixel(x, y, size)
                                                               for x in range(size)))
        for y in range(size))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico | OUTPUT.png")
    if sys.argv[1].endswith(".png"):
        with open(sys.argv[1], "wb") as f:
            f.write(png(48))
        return
    images = [(size, image(size)) for size in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
