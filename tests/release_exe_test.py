"""The shipped exe as players download it: small, hardened, and the same bytes for the same commit.
Needs the release preset built (scripts/test does).

    python3 tests/release_exe_test.py build/release/TolmekBrannLauncher.exe"""

import re
import struct
import sys
import unittest
from pathlib import Path

EXE = Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/release/TolmekBrannLauncher.exe")
LINK_MAP = EXE.with_suffix(".map")  # written by the same link
SIZE_LIMIT = 640 * 1024  # every player downloads this file before anything else

# IMAGE_DLLCHARACTERISTICS_*
HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
TERMINAL_SERVER_AWARE = 0x8000
PE32_PLUS = 0x20B


def pe_header(data):
    """The COFF header's TimeDateStamp and the optional header's DllCharacteristics."""
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    time_date_stamp = struct.unpack_from("<I", data, at + 8)[0]
    optional = at + 24
    magic, = struct.unpack_from("<H", data, optional)
    if magic != PE32_PLUS:
        raise ValueError(f"optional header magic {magic:#x}, not PE32+")
    dll_characteristics, = struct.unpack_from("<H", data, optional + 70)
    return time_date_stamp, dll_characteristics


class ReleaseExe(unittest.TestCase):
    def setUp(self):
        self.assertTrue(EXE.is_file(), f"{EXE} is missing: build the release preset first")

    def test_release_exe_is_at_most_640_kib(self):
        size = EXE.stat().st_size
        print(f"release exe: {size:,} bytes ({size / 1024:.1f} KiB; limit {SIZE_LIMIT // 1024} KiB)", file=sys.stderr)
        self.assertLessEqual(size, SIZE_LIMIT)

    def test_pe_header_asks_for_aslr_with_high_entropy_dep_and_terminal_server_awareness(self):
        _, characteristics = pe_header(EXE.read_bytes())
        wanted = {"dynamic base": DYNAMIC_BASE, "high-entropy VA": HIGH_ENTROPY_VA, "NX compatible": NX_COMPAT,
                  "terminal-server aware": TERMINAL_SERVER_AWARE}
        missing = [name for name, bit in wanted.items() if not characteristics & bit]
        self.assertEqual(missing, [], f"DllCharacteristics {characteristics:#06x}")

    def test_pe_header_carries_no_link_time(self):
        # A link time would make every build of the same commit differ.
        time_date_stamp, _ = pe_header(EXE.read_bytes())
        self.assertEqual(time_date_stamp, 0)

    def test_stack_protector_and_fortified_copies_are_linked_in_statically(self):
        # The exe is stripped, so its link map says what came from where: "Archive member included to
        # satisfy reference by file (symbol)" lists each library member, then who needed which symbol.
        self.assertTrue(LINK_MAP.is_file(), f"{LINK_MAP} is missing")
        pulled = re.findall(r"^(\S+)\n\s+(\S+) \((\S+)\)$", LINK_MAP.read_text(errors="replace"), flags=re.M)
        ours = [(member, symbol) for member, by, symbol in pulled if not by.startswith("/usr/")]
        # The launcher's own code, compiled with canaries, needs the guard and its ending...
        self.assertIn(("liblauncher_core.a(stack_guard.cpp.obj)", "__stack_chk_fail"), ours, "no canary checks")
        # ...and, compiled fortified, libssp's checked copies.
        self.assertTrue([symbol for member, symbol in ours if "libssp.a(" in member and symbol.endswith("_chk")], "no fortified copies")
        # Not libssp's own guard setup: it loads the crypto provider before main, which imports
        # bcrypt.dll from the launcher's folder first.
        self.assertFalse([member for member, _, _ in pulled if re.search(r"libssp\.a\(\S*ssp\.o\)", member)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
