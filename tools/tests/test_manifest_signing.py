import base64
import os
import re
import stat
import subprocess
import sys
import unittest
from unittest import mock

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)

import make_manifest  # noqa: E402
from test_make_manifest import Folder  # noqa: E402


def read(path):
    with open(path, "rb") as f:
        return f.read()


def configure_keys(pems, folder, min_serial=1):
    """(exit status, stderr, header) of the build's configure step for these public key files."""
    script = os.path.join(folder, "configure-keys.cmake")
    header = os.path.join(folder, "manifest_public_key.h")
    os.makedirs(folder, exist_ok=True)
    with open(script, "w") as f:
        f.write("set(PROJECT_SOURCE_DIR [[%s]])\n"
                "include(${PROJECT_SOURCE_DIR}/cmake/manifest_public_key.cmake)\n"
                "manifest_min_serial(serial \"${PEMS}\")\n"
                "write_manifest_public_key_header(\"${PEMS}\" ${serial} ${HEADER})\n"
                % os.path.dirname(TOOLS))
    # Given, so that no git checkout is needed.
    r = subprocess.run(["cmake", "-DPEMS=" + ";".join(pems), "-DHEADER=" + header,
                        "-DLAUNCHER_MANIFEST_MIN_SERIAL=%d" % min_serial, "-P", script],
                       capture_output=True, text=True)
    return r.returncode, r.stderr, read(header).decode() if r.returncode == 0 else ""


def key_point(pem):
    """The public key's X and Y as the configure step writes them into the header."""
    numbers = serialization.load_pem_public_key(read(pem)).public_numbers()
    raw = numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
    return "".join("\\x%02x" % b for b in raw)


class Signing(Folder):
    def setUp(self):
        super().setUp()
        self.put("Brann.exe", b"game")
        self.put("maps/ilha 1.map", b"map" * 1000)
        self.keys = os.path.join(self.root, "keys")
        self.private = os.path.join(self.keys, make_manifest.PRIVATE_KEY_NAME)
        self.public = os.path.join(self.keys, make_manifest.PUBLIC_KEY_NAME)

    def site(self, name):
        return os.path.join(self.root, name)

    def test_new_key_is_a_p256_pair_whose_private_half_only_its_owner_can_read(self):
        self.assertEqual(self.run_main("--new-key", self.keys), (0, ""))
        self.assertEqual(stat.S_IMODE(os.stat(self.private).st_mode), 0o600)
        private = serialization.load_pem_private_key(read(self.private), password=None)
        public = serialization.load_pem_public_key(read(self.public))
        self.assertIsInstance(private.curve, ec.SECP256R1)
        self.assertEqual(public.public_numbers(), private.public_key().public_numbers())

        before = read(self.private), read(self.public)
        status, err = self.run_main("--new-key", self.keys)
        self.assertEqual(status, 1)
        self.assertIn("a key is never replaced", err)
        self.assertEqual((read(self.private), read(self.public)), before)

    def manifest(self, site):
        return read(os.path.join(self.site(site), "launcher", "manifest.txt"))

    def test_signed_manifest_is_the_unsigned_one_a_serial_and_a_last_line_that_verifies_over_both(self):
        self.assertEqual(self.run_main("--new-key", self.keys)[0], 0)
        self.assertEqual(self.run_main(self.game, self.site("plain"))[0], 0)
        with mock.patch.object(make_manifest.time, "time", return_value=1800000000.75):
            self.assertEqual(self.run_main(self.game, self.site("signed"), "--sign", self.private)[0], 0)

        plain = self.manifest("plain")
        signed = self.manifest("signed")
        self.assertTrue(signed.startswith(plain))
        serial, line = signed[len(plain):].split(b"\n", 1)
        self.assertEqual(serial, b"#serial 1800000000")
        self.assertTrue(line.startswith(b"#signature ") and line.endswith(b"\n"), line)
        self.assertEqual(line.count(b"\n"), 1)
        raw = base64.b64decode(line[len(b"#signature "):-1], validate=True)
        self.assertEqual(len(raw), 64)
        der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
        public = serialization.load_pem_public_key(read(self.public))
        # Raises when it does not verify.
        public.verify(der, plain + serial + b"\n", ec.ECDSA(hashes.SHA256()))

    def test_serial_is_the_signing_time_or_one_above_the_previous_publication(self):
        self.assertEqual(self.run_main("--new-key", self.keys)[0], 0)
        now = 1800000000
        self.assertEqual(self.run_main(self.game, self.site("unsigned"))[0], 0)
        with mock.patch.object(make_manifest.time, "time", return_value=now + 0.5):
            self.assertEqual(self.run_main(self.game, self.site("first"), "--sign", self.private)[0], 0)
        # A clock set back after a publication from the future.
        ahead = self.manifest("first").replace(b"#serial %d" % now, b"#serial %d" % (now + 9999))
        os.makedirs(os.path.join(self.site("ahead"), "launcher"))
        with open(os.path.join(self.site("ahead"), "launcher", "manifest.txt"), "wb") as f:
            f.write(ahead)
        cases = [
            ("no previous publication", None, None, now),
            ("an unsigned previous publication", "unsigned", None, now),
            ("signed within the same second", "first", None, now + 1),
            ("a previous serial ahead of the clock", "ahead", None, now + 10000),
            ("a minimum behind the clock", None, now - 500, now),
            ("a minimum above the previous serial", "first", now + 5, now + 5),
        ]
        for name, previous, minimum, expected in cases:
            with self.subTest(name):
                out = self.site("out-" + name)
                extra = ("--previous", self.site(previous)) if previous else ()
                extra += ("--min-serial", str(minimum)) if minimum else ()
                with mock.patch.object(make_manifest.time, "time", return_value=now + 0.5):
                    self.assertEqual(self.run_main(self.game, out, "--sign", self.private, *extra), (0, ""))
                with open(os.path.join(out, "launcher", "manifest.txt"), "rb") as f:
                    self.assertEqual(re.findall(rb"^#serial (\d+)\n", f.read(), re.M), [b"%d" % expected])
                # Only a serial that no publication here vouches for must be checked against the live one.
                self.assertEqual("check_site.py" in self.printed, previous is None, self.printed)

    def test_serial_lines_are_read_as_strictly_as_the_launcher_reads_them(self):
        record = b"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad 3 a.txt\n"
        cases = [
            (b"", 0),
            (record, 0),
            (record + b"#serial 1\n", 1),
            (b"#serial 42\r\n" + record, 42),
            (record + b"#serial 9223372036854775807", 2 ** 63 - 1),
            (record + b"#serial 9223372036854775808\n", None),
            (record + b"#serial 0\n", None),
            (record + b"#serial 042\n", None),
            (record + b"#serial +42\n", None),
            (record + b"#serial 42 \n", None),
            (record + b"#serialnumber 42\n", None),
            (record + b"#serial 4\n#serial 4\n", None),
        ]
        for text, serial in cases:
            with self.subTest(text=text):
                if serial is None:
                    with self.assertRaises(ValueError):
                        make_manifest.manifest_serial(text)
                else:
                    self.assertEqual(make_manifest.manifest_serial(text), serial)

    def test_configure_names_a_missing_key_file_and_one_without_a_public_key(self):
        self.assertEqual(self.run_main("--new-key", self.keys)[0], 0)
        offline = os.path.join(self.root, "usb", make_manifest.PUBLIC_KEY_NAME)
        for pem, error in ((offline, "not found"), (self.private, "not a public key in PEM form")):
            with self.subTest(pem=pem):
                status, err, _ = configure_keys([self.public, pem], self.site("build"))
                self.assertNotEqual(status, 0)
                self.assertIn("manifest key %s: %s" % (pem, error), " ".join(err.split()))

    def test_unusable_signing_key_writes_nothing(self):
        self.assertEqual(self.run_main("--new-key", self.keys)[0], 0)
        other_curve = os.path.join(self.root, "p384.pem")
        with open(other_curve, "wb") as f:
            f.write(ec.generate_private_key(ec.SECP384R1()).private_bytes(
                serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                serialization.NoEncryption()))
        for key in (self.public, other_curve, os.path.join(self.root, "missing.pem")):
            with self.subTest(key=os.path.basename(key)):
                status, err = self.run_main(self.game, self.site("site"), "--sign", key)
                self.assertEqual(status, 1)
                self.assertIn(key, err)
                self.assertIn("nothing written", err)
                self.assertFalse(os.path.exists(self.site("site")))


if __name__ == "__main__":
    unittest.main()
