import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)

import make_icon  # noqa: E402

SIZES = [16, 24, 32, 48, 64, 128, 256]


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def parse_png(data, size):
    """Rows of (r, g, b, a) of an unfiltered 8-bit RGBA PNG, its chunks' CRCs checked."""
    at, idat, kinds = 8, b"", []
    while at < len(data):
        (length,) = struct.unpack_from(">I", data, at)
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        assert struct.unpack_from(">I", data, at + 8 + length)[0] == zlib.crc32(kind + body)
        kinds.append(kind)
        if kind == b"IHDR":
            assert struct.unpack(">IIBBBBB", body) == (size, size, 8, 6, 0, 0, 0)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    assert kinds[0] == b"IHDR" and kinds[-1] == b"IEND"
    raw, stride = zlib.decompress(idat), 1 + 4 * size
    assert len(raw) == stride * size and all(raw[y * stride] == 0 for y in range(size))
    return [[tuple(raw[y * stride + 1 + 4 * x:y * stride + 5 + 4 * x]) for x in range(size)]
            for y in range(size)]


def parse_ico(data):
    """[(size, rows of (r, g, b, a) top first, mask rows of bools)] with checks."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), (reserved, kind)
    images, end = [], 6 + 16 * count
    for i in range(count):
        w, h, colours, res, planes, bits, length, offset = \
            struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        assert (colours, res, planes, bits) == (0, 0, 1, 32)
        assert w == h
        size = w or 256
        assert offset == end, "image %d not packed after the previous one" % i
        end = offset + length
        if data[offset:offset + 8] == PNG_SIGNATURE:
            assert size >= make_icon.PNG_FROM, "a small image as PNG"
            images.append((size, parse_png(data[offset:end], size), None))
            continue
        (hsize, bw, bh, bplanes, bbits, compression, image_size) = \
            struct.unpack_from("<IiiHHII", data, offset)
        assert (hsize, bw, bh, bplanes, bbits, compression) == \
            (40, size, 2 * size, 1, 32, 0)
        stride = (size + 31) // 32 * 4
        assert length == 40 + size * size * 4 + stride * size
        assert image_size == length - 40
        pixels = offset + 40
        mask = pixels + size * size * 4
        rows, mask_rows = [], []
        for y in range(size):  # stored bottom-up
            p = pixels + (size - 1 - y) * size * 4
            rows.append([(data[p + 4 * x + 2], data[p + 4 * x + 1], data[p + 4 * x],
                          data[p + 4 * x + 3]) for x in range(size)])
            m = mask + (size - 1 - y) * stride
            mask_rows.append([bool(data[m + x // 8] & (0x80 >> (x % 8)))
                              for x in range(size)])
            assert not any(data[m + size // 8 + (1 if size % 8 else 0):m + stride]), \
                "mask padding not zero"
        images.append((size, rows, mask_rows))
    assert end == len(data), "trailing or missing bytes"
    return images


class Icon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = make_icon.icon_bytes()
        cls.images = parse_ico(cls.data)

    def test_layout(self):
        self.assertEqual([s for s, _, _ in self.images], SIZES)
        self.assertEqual(self.data[6 + 16 * 6:6 + 16 * 6 + 2], b"\0\0")

    def test_artwork_where_expected(self):
        for size, rows, _ in self.images:
            def at(fx, fy):
                return rows[int(fy * size)][int(fx * size)]
            with self.subTest(size=size):
                self.assertLess(at(0, 0)[3], 128)             # clear corner
                self.assertEqual(at(0.25, 0.12), make_icon.RED + (255,))
                self.assertEqual(at(0.75, 0.12), make_icon.BLUE + (255,))
                self.assertEqual(at(0.5, 0.42), make_icon.GOLD + (255,))
                self.assertEqual(at(0.5, 0.75), make_icon.GOLD + (255,))
                self.assertEqual(at(0.2, 0.75), make_icon.BACKGROUND + (255,))
                self.assertEqual(at(0.5, 0.95), make_icon.BACKGROUND + (255,))

    def test_shape_is_symmetric_and_mask_follows_alpha(self):
        for size, rows, mask in self.images:
            with self.subTest(size=size):
                alpha = [[p[3] for p in row] for row in rows]
                self.assertEqual(alpha, alpha[::-1])
                self.assertEqual(alpha, [row[::-1] for row in alpha])
                gold = [[p == make_icon.GOLD + (255,) for p in row] for row in rows]
                self.assertEqual(gold, [row[::-1] for row in gold])
                if mask is not None:  # a PNG image has no mask of its own
                    self.assertEqual(mask, [[a < 128 for a in row] for row in alpha])
                self.assertEqual(alpha[size // 2][size // 2], 255)

    def test_runs_are_identical_and_committed_file_is_current(self):
        script = os.path.join(TOOLS, "make_icon.py")
        with tempfile.TemporaryDirectory() as tmp:
            outputs = []
            for n in range(2):
                out = os.path.join(tmp, "%d.ico" % n)
                subprocess.run([sys.executable, script, out], check=True)
                with open(out, "rb") as f:
                    outputs.append(f.read())
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(outputs[0], self.data)
        with open(os.path.join(REPO, "app", "launcher.ico"), "rb") as f:
            self.assertEqual(f.read(), self.data,
                             "app/launcher.ico is stale: rerun tools/make_icon.py")


if __name__ == "__main__":
    unittest.main()
