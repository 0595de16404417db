#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws the program's logo (imgs/logo4.png), window icon (logo1.ico) and
desktop icon (org.virelto.Virelto.png).

The mark: a blue rounded square holding a white camera lens and three lines
of "text". Pure standard library, so it runs anywhere Python 3 does; the
generated files are committed and a build never needs this script.

    python3 resources/tools/make_images.py [resources-dir]
"""
import math
import os
import struct
import sys
import zlib

TOP = (0x00, 0x86, 0xE8)
BOTTOM = (0x00, 0x4E, 0x8C)
WHITE = (0xFF, 0xFF, 0xFF)


def rounded_square(x, y, half, radius):
    qx = abs(x - 0.5) - (half - radius)
    qy = abs(y - 0.5) - (half - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def capsule(x, y, x0, x1, cy, r):
    px = min(max(x, x0), x1)
    return math.hypot(x - px, y - cy) - r


def coverage(distance, pixel):
    # Signed distance in unit coordinates -> anti-aliased coverage.
    return min(max(0.5 - distance / pixel, 0.0), 1.0)


def render(size):
    pixel = 1.0 / size
    rows = []
    lens_x, lens_y = 0.34, 0.36
    bars = ((0.30, 0.80, 0.62), (0.30, 0.72, 0.73), (0.30, 0.58, 0.84))
    for j in range(size):
        y = (j + 0.5) * pixel
        t = y
        bg = tuple(round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM))
        row = bytearray()
        for i in range(size):
            x = (i + 0.5) * pixel
            alpha = coverage(rounded_square(x, y, 0.47, 0.1), pixel)
            if alpha <= 0.0:
                row += b"\0\0\0\0"
                continue
            d = math.hypot(x - lens_x, y - lens_y)
            white = coverage(abs(d - 0.15) - 0.035, pixel)
            white = max(white, coverage(d - 0.055, pixel))
            white = max(white, coverage(math.hypot(x - 0.70, y - 0.22) - 0.05, pixel))
            for x0, x1, cy in bars:
                white = max(white, coverage(capsule(x, y, x0 - 0.17, x1, cy, 0.03), pixel))
            r, g, b = (round(c * (1 - white) + w * white) for c, w in zip(bg, WHITE))
            row += bytes((r, g, b, round(alpha * 255)))
        rows.append(bytes(row))
    return rows


def png(rows, size):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + row for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # RGBA, not interlaced
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(rows, size):
    # One 32-bit BMP image (not PNG-in-ICO): BGRA rows bottom-up, then the AND mask.
    pixels = bytearray()
    mask = bytearray()
    stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for i in range(size):
            r, g, b, a = row[4 * i:4 * i + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                       len(pixels) + len(mask), 0, 0, 0, 0)
    image = info + pixels + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    os.makedirs(os.path.join(out, "imgs"), exist_ok=True)
    with open(os.path.join(out, "logo1.ico"), "wb") as f:
        f.write(ico(render(128), 128))
    with open(os.path.join(out, "imgs", "logo4.png"), "wb") as f:
        f.write(png(render(2008), 2008))
    # The desktop icon (hicolor theme).
    with open(os.path.join(out, "org.virelto.Virelto.png"), "wb") as f:
        f.write(png(render(256), 256))


if __name__ == "__main__":
    main()
