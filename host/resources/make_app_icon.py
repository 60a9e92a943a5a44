#!/usr/bin/env python3
"""Writes app.ico, the window's icon (resource 101): PNG-stored images of 16 to 256 pixels.

Only the standard library is used, so the icon can be regenerated on any machine:
    python3 host/resources/make_app_icon.py host/resources/app.ico
The picture is a rounded square in the title bar's caption colour with a light ring, drawn
with 4x4 supersampling so that the small sizes stay smooth.
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
CAPTION = (23, 76, 55)  # the title bar's caption colour
RING = (236, 253, 245)  # the title bar's text colour
SUPERSAMPLE = 4


def coverage(size, x, y):
    """Returns (background, ring) coverage of pixel (x, y), each 0..1."""
    corner = size * 0.22
    centre = size / 2.0
    outer = size * 0.33
    inner = size * 0.20
    background = ring = 0
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            px = x + (sx + 0.5) / SUPERSAMPLE
            py = y + (sy + 0.5) / SUPERSAMPLE
            # Rounded square: inside unless in a corner region outside its arc.
            cx = min(max(px, corner), size - corner)
            cy = min(max(py, corner), size - corner)
            if (px - cx) ** 2 + (py - cy) ** 2 <= corner**2:
                background += 1
                d2 = (px - centre) ** 2 + (py - centre) ** 2
                if inner**2 <= d2 <= outer**2:
                    ring += 1
    total = SUPERSAMPLE * SUPERSAMPLE
    return background / total, ring / total


def png(size):
    rows = bytearray()
    for y in range(size):
        rows.append(0)  # filter: none
        for x in range(size):
            back, ring = coverage(size, x, y)
            if back == 0:
                rows += bytes((0, 0, 0, 0))
                continue
            mix = ring / back
            colour = [round(c * (1 - mix) + r * mix) for c, r in zip(CAPTION, RING)]
            rows += bytes(colour + [round(255 * back)])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def main(path):
    images = [png(s) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        dim = 0 if size >= 256 else size  # 0 means 256 in an icon directory
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "app.ico")
