"""The shipped exe as players download it: small. Needs the release preset built (scripts/test does).

    python3 tests/release_exe_test.py build/release/TolmekBrannLauncher.exe"""

import sys
import unittest
from pathlib import Path

EXE = Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/release/TolmekBrannLauncher.exe")
SIZE_LIMIT = 640 * 1024  # every player downloads this file before anything else


class ReleaseExe(unittest.TestCase):
    def test_release_exe_is_at_most_640_kib(self):
        self.assertTrue(EXE.is_file(), f"{EXE} is missing: build the release preset first")
        size = EXE.stat().st_size
        print(f"release exe: {size:,} bytes ({size / 1024:.1f} KiB; limit {SIZE_LIMIT // 1024} KiB)", file=sys.stderr)
        self.assertLessEqual(size, SIZE_LIMIT)


if __name__ == "__main__":
    unittest.main(verbosity=2)
