#!/usr/bin/env python3
"""Draw the launcher's icon.

    python3 tools/make_icon.py app/launcher.ico

The artwork is computed, not stored, so every run writes the same bytes:
a dark rounded square, a red and blue band across the top and a gold "T".
"""

import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
PNG_FROM = 256  # Windows reads PNG images from this size up

BACKGROUND = (16, 18, 24)
RED = (211, 58, 50)
BLUE = (47, 125, 225)
GOLD = (240, 207, 122)

SUPERSAMPLE = 8  # per axis, corners only


class _Layout:
    """Edges of the artwork for one size, as fractions of the icon's side.

    Straight edges are snapped to whole pixels so small sizes stay crisp and
    the shape stays centred; only the rounded corners are antialiased."""

    def __init__(self, size):
        def snap(f):
            return round(f * size) / size

        self.margin = snap(1 / 32)
        self.radius = 0.18
        self.band_bottom = snap(0.25)
        self.bar = (snap(0.22), 1 - snap(0.22), snap(0.36), snap(0.50))
        self.stem = (snap(0.42), 1 - snap(0.42), snap(0.36), snap(0.84))

    def colour(self, x, y):
        """RGB at (x, y), y downwards, or None where the icon is clear."""
        lo, hi = self.margin, 1 - self.margin
        if not (lo <= x < hi and lo <= y < hi):
            return None
        r = self.radius
        dx = max(lo + r - x, 0, x - (hi - r))
        dy = max(lo + r - y, 0, y - (hi - r))
        if dx * dx + dy * dy > r * r:
            return None
        if y < self.band_bottom:
            return RED if x < 0.5 else BLUE
        for x0, x1, y0, y1 in (self.bar, self.stem):
            if x0 <= x < x1 and y0 <= y < y1:
                return GOLD
        return BACKGROUND

    def in_corner(self, x, y, step):
        near = self.margin + self.radius + step
        return min(x, 1 - x) < near and min(y, 1 - y) < near


def render(size):
    """Rows of (r, g, b, a) pixels, top row first."""
    layout = _Layout(size)
    step = 1 / size
    n = SUPERSAMPLE
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            x0, y0 = px * step, py * step
            if not layout.in_corner(x0, y0, step):
                rgb = layout.colour(x0 + step / 2, y0 + step / 2)
                row.append(rgb + (255,) if rgb else (0, 0, 0, 0))
                continue
            hits, sums = 0, [0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    rgb = layout.colour(x0 + (sx + 0.5) * step / n,
                                        y0 + (sy + 0.5) * step / n)
                    if rgb:
                        hits += 1
                        for i in range(3):
                            sums[i] += rgb[i]
            if hits:
                row.append(tuple((s + hits // 2) // hits for s in sums)
                           + ((hits * 255 + n * n // 2) // (n * n),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def dib(rows):
    """A 32-bit icon image: BITMAPINFOHEADER, BGRA bottom-up, then AND mask."""
    size = len(rows)
    mask_stride = (size + 31) // 32 * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a < 128:  # for painters that ignore alpha
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def png(rows):
    """A 32-bit image as PNG (RGBA, no filtering): how icons store their largest size, which as a
    bitmap would be most of the launcher's download."""
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def icon_bytes(sizes=SIZES):
    images = [png(render(s)) if s >= PNG_FROM else dib(render(s)) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, image in zip(sizes, images):
        side = s % 256  # 256 is written as 0
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: make_icon.py OUT.ico", file=sys.stderr)
        return 2
    with open(argv[0], "wb") as f:
        f.write(icon_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main())
