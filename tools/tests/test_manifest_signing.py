import base64
import os
import stat
import sys
import unittest

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)

import make_manifest  # noqa: E402
from test_make_manifest import Folder  # noqa: E402


def read(path):
    with open(path, "rb") as f:
        return f.read()


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

    def test_signed_manifest_is_the_unsigned_one_and_a_last_line_that_verifies_over_it(self):
        self.assertEqual(self.run_main("--new-key", self.keys)[0], 0)
        self.assertEqual(self.run_main(self.game, self.site("plain"))[0], 0)
        self.assertEqual(self.run_main(self.game, self.site("signed"), "--sign", self.private)[0], 0)

        plain = read(os.path.join(self.site("plain"), "launcher", "manifest.txt"))
        signed = read(os.path.join(self.site("signed"), "launcher", "manifest.txt"))
        self.assertTrue(signed.startswith(plain))
        line = signed[len(plain):]
        self.assertTrue(line.startswith(b"#signature ") and line.endswith(b"\n"), line)
        self.assertEqual(line.count(b"\n"), 1)
        raw = base64.b64decode(line[len(b"#signature "):-1], validate=True)
        self.assertEqual(len(raw), 64)
        der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
        public = serialization.load_pem_public_key(read(self.public))
        public.verify(der, plain, ec.ECDSA(hashes.SHA256()))  # raises when it does not verify

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
