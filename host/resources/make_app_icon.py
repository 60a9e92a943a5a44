#!/usr/bin/env python3
"""Draws the host's three icon groups: one circular emblem in three colourings.

    app.ico             101  the application (window class)       bright green on black
    tray_waiting.ico    102  the tray icon while not connected    grey on black
    tray_connected.ico  103  the tray icon while connected        bright green on black

Each holds PNG-stored 32-bit images of 16, 24, 32, 48, 64, 128 and 256 pixels. Only the standard
library is used, so the icons can be redrawn on any machine:
    python3 host/resources/make_app_icon.py [DIRECTORY]          writes the three files
    python3 host/resources/make_app_icon.py --check [DIRECTORY]  exit status 1 unless the files
                                                                 there hold exactly these pixels
DIRECTORY defaults to the script's own. The check compares decoded pixels, not bytes, so that
another zlib's compression cannot fail it.

The emblem is a keyhole inside a ring, on a black disc, drawn with 4x4 supersampling so that the
small sizes stay smooth.
"""
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
SUPERSAMPLE = 4

BLACK = (0, 0, 0)
BRIGHT_GREEN = (34, 232, 120)
GREY = (150, 156, 160)

# File name -> colour of the ring and the emblem on the black disc.
COLOURINGS = {
    "app.ico": BRIGHT_GREEN,
    "tray_waiting.ico": GREY,
    "tray_connected.ico": BRIGHT_GREEN,
}

# Geometry in units of the disc's radius, the centre at (0, 0), y growing downwards.
RING_INNER, RING_OUTER = 0.70, 0.90
KEYHOLE_CENTRE_Y, KEYHOLE_RADIUS = -0.17, 0.22
SLOT_TOP, SLOT_BOTTOM = -0.05, 0.44
SLOT_HALF_TOP, SLOT_HALF_BOTTOM = 0.09, 0.19


def in_emblem(u, v):
    """Whether the point (u, v) is inside the ring or the keyhole."""
    r2 = u * u + v * v
    if RING_INNER**2 <= r2 <= RING_OUTER**2:
        return True
    if u * u + (v - KEYHOLE_CENTRE_Y) ** 2 <= KEYHOLE_RADIUS**2:
        return True
    if SLOT_TOP <= v <= SLOT_BOTTOM:
        t = (v - SLOT_TOP) / (SLOT_BOTTOM - SLOT_TOP)
        return abs(u) <= SLOT_HALF_TOP + t * (SLOT_HALF_BOTTOM - SLOT_HALF_TOP)
    return False


def coverage(size):
    """Per pixel, row by row: (disc coverage, emblem coverage), each 0..1."""
    radius = size / 2.0
    total = SUPERSAMPLE * SUPERSAMPLE
    pixels = []
    for y in range(size):
        for x in range(size):
            disc = emblem = 0
            for sy in range(SUPERSAMPLE):
                v = (y + (sy + 0.5) / SUPERSAMPLE - radius) / radius
                for sx in range(SUPERSAMPLE):
                    u = (x + (sx + 0.5) / SUPERSAMPLE - radius) / radius
                    if u * u + v * v <= 1.0:
                        disc += 1
                        if in_emblem(u, v):
                            emblem += 1
            pixels.append((disc / total, emblem / total))
    return pixels


def rgba(size, cover, colour):
    """The image as rows of RGBA bytes, each row led by PNG's filter byte 0."""
    rows = bytearray()
    for y in range(size):
        rows.append(0)
        for disc, emblem in cover[y * size:(y + 1) * size]:
            if disc == 0:
                rows += bytes((0, 0, 0, 0))
                continue
            mix = emblem / disc  # the emblem's share of what the disc covers
            rows += bytes([round(b * (1 - mix) + c * mix) for b, c in zip(BLACK, colour)])
            rows.append(round(255 * disc))
    return bytes(rows)


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) +
            chunk(b"IEND", b""))


def icon_file(images):
    """An icon directory of PNG-stored images; `images` is [(size, png bytes)]."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size  # 0 means 256 in an icon directory
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def drawn():
    """File name -> [(size, rows)] of every image, as this script draws them."""
    covers = {size: coverage(size) for size in SIZES}
    return {name: [(size, rgba(size, covers[size], colour)) for size in SIZES]
            for name, colour in COLOURINGS.items()}


def read_icon(path):
    """[(size, rows)] of a PNG-stored icon file as written by icon_file; raises on anything else."""
    with open(path, "rb") as f:
        data = f.read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon file")
    images = []
    for i in range(count):
        dim, _, _, _, planes, bits, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        image = data[offset:offset + length]
        if len(image) != length or not image.startswith(b"\x89PNG\r\n\x1a\n") or bits != 32:
            raise ValueError("image %d is not a 32-bit PNG" % i)
        position, idat, size = 8, b"", None
        while position < len(image):
            (chunk_length,) = struct.unpack_from(">I", image, position)
            kind = image[position + 4:position + 8]
            body = image[position + 8:position + 8 + chunk_length]
            if kind == b"IHDR":
                width, height, depth, colour_type = struct.unpack_from(">IIBB", body, 0)
                if width != height or depth != 8 or colour_type != 6 or (dim or 256) != width:
                    raise ValueError("image %d: unexpected format" % i)
                size = width
            elif kind == b"IDAT":
                idat += body
            position += 12 + chunk_length
        images.append((size, zlib.decompress(idat)))
    return images


def main(argv):
    check = "--check" in argv
    rest = [a for a in argv if a != "--check"]
    directory = rest[0] if rest else os.path.dirname(os.path.abspath(__file__))
    icons = drawn()
    if not check:
        for name, images in icons.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(icon_file([(size, png(size, rows)) for size, rows in images]))
        return 0
    status = 0
    for name, images in icons.items():
        path = os.path.join(directory, name)
        try:
            committed = read_icon(path)
        except (OSError, ValueError, struct.error, zlib.error) as error:
            print("%s: %s" % (path, error))
            status = 1
            continue
        if committed != images:
            print("%s: differs from what %s draws; run it to redraw" %
                  (path, os.path.basename(__file__)))
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
