import os
import re
import sys
import tempfile
import unittest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)

import make_manifest  # noqa: E402

# Shared with the launcher's own test, so both refuse the same paths.
CASES_FILE = os.path.join(REPO, "tests", "path_cases.txt")
BACKSLASH = "contains '\\', a separator on Windows"
# The tool alone refuses paths too long for some players (see path_cases.txt).
TOO_LONG = ("too long for", "folder too long for")


def unescape(text):
    r"""The bytes of a PATH field: \xNN is one byte, \\ a backslash."""
    out, i, raw = bytearray(), 0, text.encode("utf-8")
    while i < len(raw):
        if raw[i:i + 2] == b"\\\\":
            out += b"\\"
            i += 2
        elif raw[i:i + 1] == b"\\":
            hex_digits = raw[i + 2:i + 4]
            if raw[i + 1:i + 2] != b"x" or not re.fullmatch(rb"[0-9a-fA-F]{2}", hex_digits):
                raise ValueError("bad escape in %r" % text)
            out.append(int(hex_digits, 16))
            i += 4
        else:
            out.append(raw[i])
            i += 1
    return bytes(out)


def load_cases():
    cases = []
    with open(CASES_FILE, encoding="utf-8", newline="") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            kind, sep, path = line.partition("\t")
            if not sep or kind not in ("safe", "unsafe"):
                raise ValueError("%s:%d: %r" % (CASES_FILE, number, line))
            cases.append((kind == "unsafe", unescape(path)))
    return cases


def can_be_a_file(raw):
    """Whether a Linux folder can hold raw so that a scan names it raw."""
    parts = raw.split(b"/")
    return all(part not in (b"", b".", b"..") and len(part) <= 255 and b"\0" not in part
               for part in parts)


def published(raw):
    """Whether make_manifest publishes a game folder holding only raw."""
    with tempfile.TemporaryDirectory() as game:
        path = os.path.join(os.fsencode(game), raw)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "wb").close()
        try:
            make_manifest.checked_paths(game)
        except make_manifest.Refused:
            return False
        return True


class SharedPathCases(unittest.TestCase):
    def test_table_is_read_whole(self):
        cases = load_cases()
        self.assertGreater(len(cases), 150)
        self.assertIn((True, b"Brann.exe\x00x"), cases)
        self.assertIn((True, b"\\\\server\\share"), cases)
        self.assertIn((False, b"n" * 251 + b".dat"), cases)
        self.assertIn((False, "sons/Ação.ogg".encode()), cases)
        self.assertEqual(unescape(r"a\x7F\\b"), b"a\x7f\\b")
        for bad in (r"\x4", r"\y", "a\\"):
            with self.assertRaises(ValueError):
                unescape(bad)

    def test_launcher_rule(self):
        for unsafe, raw in load_cases():
            with self.subTest(path=raw):
                self.assertEqual(make_manifest.launcher_rejects(raw), unsafe)
                # The str a folder scan would give judges the same.
                as_str = raw.decode("utf-8", "surrogateescape")
                self.assertEqual(make_manifest.launcher_rejects(as_str), unsafe)

    def test_publisher_refuses_the_unsafe_and_backslashes(self):
        for unsafe, raw in load_cases():
            with self.subTest(path=raw):
                problems = make_manifest.path_problems(raw)
                if unsafe:
                    self.assertTrue(problems)
                else:
                    fitting = [p for p in problems if not p.startswith(TOO_LONG)]
                    self.assertEqual(fitting, [BACKSLASH] if b"\\" in raw else [])
                if can_be_a_file(raw):
                    self.assertEqual(published(raw), not problems)

    def test_each_rule_gives_its_own_reason(self):
        cases = {
            b"\xc0\xaf": "not valid UTF-8",
            b"/a": "starts with a separator",
            b"c:x": "':'",
            b"a\x00": "control character",
            b"a//b": "empty, '.' or '..'",
            b"a./b": "ends in a blank or a dot",
            b"dados/COM\xc2\xb9.dat": "device name",
            b"a/b.Download": ".download",
            b"Launcher.Cache": "launcher keeps",
        }
        for raw, reason in cases.items():
            with self.subTest(path=raw):
                problems = make_manifest.path_problems(raw)
                self.assertTrue(any(reason in p for p in problems), problems)


if __name__ == "__main__":
    unittest.main()
