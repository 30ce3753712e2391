import base64
import contextlib
import email.utils
import hashlib
import io
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(os.path.dirname(TOOLS), "tests", "server")
sys.path.insert(0, TOOLS)

import check_site  # noqa: E402
import make_manifest  # noqa: E402

BIG = random.Random(3).randbytes(200 * 1024 + 5)  # several of the server's 64 KiB chunks

# path, bytes the manifest lists, bytes on the site (None: not uploaded), the
# server's fault for it, problem seen without --full, with --full, and with
# --root --full, which reads the published folder itself (None: none).
FILES = [
    ("Brann.exe", b"game", b"game", None, None, None, None),
    ("ok.dat", b"fine", b"fine", None, None, None, None),
    ("sons/Ação 1.ogg", b"som", b"som", None, None, None, None),
    ("a b+c~%.dat", BIG, BIG, None, None, None, None),
    ("gone.dat", b"x", None, None, "answers 404", "answers 404", "not in the publication"),
    ("short.dat", b"0123456789A", b"0123456789", None,
     "Content-Length is 10, the manifest lists 11", "Content-Length is 10", "is 10 bytes, the manifest lists 11"),
    ("flipped.dat", b"abc", b"abd", None, None, "SHA-256 is", "SHA-256 is"),
    ("broken.dat", b"abc", b"abc", {"status": 500}, "answers 500", "answers 500", None),
    ("cut.dat", BIG, BIG, {"cut_after": 70000}, None, "received 70000 bytes", None),
]
GOOD = [f for f in FILES if f[4] is None and f[5] is None]
SHA_ABC = hashlib.sha256(b"abc").hexdigest()
# Lines the launcher refuses, though the site holds a file for each.
BAD_LINES = [
    ("con.txt", "%s 3 con.txt" % SHA_ABC, "device name"),
    ("digest.dat", "%s 3 digest.dat" % SHA_ABC[:63], "not 64 hex digits"),
    ("negative.dat", "%s -1 negative.dat" % SHA_ABC, "negative"),
    ("words.dat", "%s three words.dat" % SHA_ABC, "not a byte count"),
]
TOMORROW = email.utils.formatdate(2e9, usegmt=True)  # ahead of the test's clock and of Date
# Within a minute of any Date the site sends later, in the asctime form, which is GMT too.
SOON_ASCTIME = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(time.time() + 30))
STALE_EDGE = "Falha ao baixar um arquivo. Tente de novo."
ALL_FILES = ["Brann.exe", "ok.dat", "sons/Ação 1.ogg", "a b+c~%.dat"]
# The served paths, the headers sent with them (None: left out), the files the
# manifest lists (None: the site's), what the one line says (None: no line)
# and the exit status.
CACHE_CASES = [
    (["files/" + p for p in ALL_FILES], {"Cache-Control": "max-age=86400"}, None,
     ["4 files (Brann.exe, ok.dat, sons/Ação 1.ogg and 1 more): Cache-Control: max-age=86400",
      STALE_EDGE], 1),
    ("files/ok.dat", {"Cache-Control": None}, None,
     ["ok.dat: no Cache-Control: no-cache", "a shared cache guesses", STALE_EDGE], 1),
    ("files/ok.dat", {"Cache-Control": None, "Expires": SOON_ASCTIME}, None, None, 0),
    ("files/ok.dat", {"Cache-Control": "max-age=86400"}, None,
     ["ok.dat: Cache-Control: max-age=86400", STALE_EDGE], 1),
    ("manifest.txt", {"Cache-Control": "public, max-age=0, s-maxage=61"}, None,
     ["manifest: Cache-Control: public, max-age=0, s-maxage=61", STALE_EDGE], 1),
    ("files/ok.dat", {"Cache-Control": "max-age=60"}, None, None, 0),
    ("files/ok.dat", {"Cache-Control": "no-cache, max-age=86400", "Expires": TOMORROW}, None,
     None, 0),
    ("files/ok.dat", {"Cache-Control": None, "Expires": TOMORROW}, None,
     ["ok.dat: Expires: " + TOMORROW, STALE_EDGE], 1),
    ("files/ok.dat", {"Cache-Control": None, "Expires": "0", "Age": "100"}, None,
     ["ok.dat: warning: Age: 100 and no Cache-Control"], 0),
    ("manifest.txt", {"Content-Encoding": "gzip"}, None, ["manifest: Content-Encoding: gzip"], 1),
    ("files/flipped.dat", {"Age": "5"}, GOOD + FILES[6:7],
     ["flipped.dat: SHA-256 is", "Age: 5", "the edge is stale", STALE_EDGE], 1),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def manifest(files, extra_lines=()):
    """BOM, comments, CRLF and an upper-case digest, all of which the launcher takes."""
    lines = ["\ufeff# published for the test", ""]
    for i, (path, listed, *_) in enumerate(files):
        digest = hashlib.sha256(listed).hexdigest()
        lines.append("%s %d %s" % (digest.upper() if i == 0 else digest, len(listed), path))
    return ("\r\n".join(lines + list(extra_lines)) + "\r\n").encode("utf-8")


class CheckSite(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.state = tempfile.mkdtemp(prefix="tolmek-check-site-")
        root = os.path.join(cls.state, "root")
        for path, _, served, *_ in FILES:
            if served is not None:
                write(os.path.join(root, "launcher", "files", path), served)
        for path, _, _ in BAD_LINES:
            write(os.path.join(root, "launcher", "files", path), b"abc")
        write(os.path.join(root, "launcher", "files", "bin", "Brann.exe"), b"game")
        write(os.path.join(root, "launcher", "manifest.txt"), manifest(GOOD))
        cls.port = free_port()
        r = subprocess.run(["bash", os.path.join(SERVER, "start_server.sh"), cls.state,
                            str(cls.port), root, "--header", "Cache-Control: no-cache"],
                           capture_output=True, text=True)
        if r.returncode != 0:
            shutil.rmtree(cls.state, ignore_errors=True)
            raise RuntimeError("server did not start: " + r.stderr)
        cls.url = "https://localhost:%d/launcher/" % cls.port
        cls.published = os.path.join(root, "launcher")
        cls.ca = os.path.join(cls.state, "certs", "ca.pem")
        cls.faults = os.path.join(cls.state, "faults-%d.json" % cls.port)
        cls.log = os.path.join(cls.state, "requests-%d.log" % cls.port)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["bash", os.path.join(SERVER, "stop_server.sh"), cls.state, str(cls.port)])
        shutil.rmtree(cls.state, ignore_errors=True)

    def set_faults(self, faults):
        write(self.faults, json.dumps(faults).encode())
        self.addCleanup(write, self.faults, b"")  # empty: no faults

    def local_manifest(self, data):
        path = os.path.join(self.state, "local-manifest.txt")
        write(path, data)
        return path

    def run_check(self, *args, ca=True, url=None):
        """url False: none; None: the site's."""
        out, err = io.StringIO(), io.StringIO()
        argv = list(args) + (["--ca", self.ca] if ca else []) + ([] if url is False else [url or self.url])
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = check_site.main(argv)
        return status, out.getvalue().splitlines(), err.getvalue()

    def test_good_site_is_fetched_as_the_launcher_does(self):
        script = os.path.join(TOOLS, "check_site.py")
        for extra in ([self.url], ["--full", self.url], ["--full", "--root", self.published]):
            r = subprocess.run([sys.executable, script, "--ca", self.ca] + extra,
                               capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            self.assertEqual(r.stdout, "4 files, 200.02 KiB: all good\n")
        with open(self.log, encoding="utf-8") as f:
            log = f.read().splitlines()
        self.assertIn("GET /launcher/files/sons/A%C3%A7%C3%A3o%201.ogg HTTP/1.1"
                      "\tTolmekBrannLauncher/1.0", log)
        self.assertIn("GET /launcher/files/a%20b%2Bc%7E%25.dat HTTP/1.1"
                      "\tTolmekBrannLauncher/1.0", log)
        self.assertTrue(all(line.startswith("GET ") and line.endswith("\tTolmekBrannLauncher/1.0")
                            for line in log), log)
        # Behind "Vary: Accept-Encoding" a cache keeps one copy per value: the players' has none.
        with mock.patch.object(check_site.http.client.HTTPConnection, "putheader", autospec=True,
                               wraps=check_site.http.client.HTTPConnection.putheader) as sent:
            self.assertEqual(self.run_check()[0], 0)
        self.assertEqual({c.args[1] for c in sent.call_args_list}, {"Host", "User-Agent"})

    def test_each_fault_is_named_once(self):
        listed = self.local_manifest(manifest(FILES, [line for _, line, _ in BAD_LINES]))
        self.set_faults({"/launcher/files/" + check_site.encode_path(p.encode()): fault
                         for p, _, _, fault, *_ in FILES if fault})
        for column, extra in ((4, []), (5, ["--full"]), (6, ["--full", "--root", self.published])):
            with self.subTest(extra=extra):
                args = ["--manifest", listed, "--parallel", "3"] + extra
                status, out, err = self.run_check(*args, url=False if "--root" in extra else None)
                expected = {f[0]: f[column] for f in FILES}
                expected.update((path, problem) for path, _, problem in BAD_LINES)
                expected = {path: what for path, what in expected.items() if what}
                self.assertEqual((status, err), (1, ""))
                self.assertEqual(out[-1], "9 files, %s: %d problems"
                                 % (check_site.human_size(2 * len(BIG) + 4 + 4 + 3 + 1 + 11 + 3 + 3),
                                    len(expected)))
                found = dict(line.split(": ", 1) for line in out[:-1])
                self.assertEqual(len(found), len(out) - 1, out)
                self.assertEqual(sorted(found), sorted(expected))
                for path, what in expected.items():
                    self.assertIn(what, found[path])

    def test_caching_headers_that_let_an_edge_serve_old_bytes(self):
        # West of Greenwich, so that a date read as local time is hours off.
        with mock.patch.dict(os.environ, TZ="BRT3"):
            time.tzset()
            self.addCleanup(time.tzset)
            self.check_caching_headers()

    def check_caching_headers(self):
        for paths, headers, listed, line, status in CACHE_CASES:
            with self.subTest(paths=paths, headers=headers):
                paths = [paths] if isinstance(paths, str) else paths
                self.set_faults({"/launcher/" + check_site.encode_path(p.encode()): {"headers": headers}
                                 for p in paths})
                args = ["--manifest", self.local_manifest(manifest(listed))] if listed else []
                found, out, err = self.run_check("--full", *args)
                self.assertEqual((found, err), (status, ""))
                self.assertEqual(len(out), 1 if line is None else 2, out)
                if line:
                    self.assertTrue(out[0].startswith(line[0]), out)
                    for part in line[1:]:
                        self.assertIn(part, out[0])

    def test_manifest_that_cannot_be_fetched(self):
        self.set_faults({"/launcher/manifest.txt": {"status": 503}})
        for ca, wanted in ((True, "manifest.txt: answers 503"), (False, "certificate verify failed")):
            with self.subTest(wanted=wanted):
                status, out, err = self.run_check(ca=ca)
                self.assertEqual((status, out), (2, []))
                self.assertIn(wanted, err)

    def start_server(self, root, *options):
        """The URL of a second test server, stopped at the test's end."""
        port = free_port()
        self.addCleanup(subprocess.run, ["bash", os.path.join(SERVER, "stop_server.sh"),
                                         self.state, str(port)])
        r = subprocess.run(["bash", os.path.join(SERVER, "start_server.sh"), self.state, str(port),
                            root] + list(options), capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        return "https://localhost:%d/launcher/" % port

    def test_site_offering_only_tls_13_is_a_problem(self):
        url = self.start_server(os.path.join(self.state, "root"), "--min-tls", "1.3")
        status, out, err = self.run_check(url=url)
        self.assertEqual((status, out), (2, []))
        self.assertIn("the site does not offer TLS 1.2: players on Windows 10 and on Wine "
                      "cannot connect", err)

    def test_manifest_without_brann_exe_at_the_top_level_is_a_problem(self):
        others = [f[:3] for f in GOOD if f[0] != "Brann.exe"]
        for listed in (others, others + [("bin/Brann.exe", b"game", b"game")]):
            with self.subTest(listed=[f[0] for f in listed]):
                status, out, _ = self.run_check("--manifest", self.local_manifest(manifest(listed)))
                self.assertEqual(status, 1)
                self.assertEqual(out[:-1], ["manifest: does not list Brann.exe at the top level: "
                                            "players can update but never start the game"])

    def test_signature_not_checked_without_a_public_key_is_said(self):
        signed = manifest(GOOD) + b"#signature " + base64.b64encode(bytes(64)) + b"\n"
        status, out, _ = self.run_check("--manifest", self.local_manifest(signed))
        self.assertEqual((status, out), (0, [
            "manifest: signed, but the signature was not checked (give --public-key FILE)",
            "4 files, 200.02 KiB: all good"]))

    def new_key(self, name):
        """A key pair as the publisher's tool makes it: (private key, public key's file)."""
        from cryptography.hazmat.primitives import serialization
        folder = os.path.join(self.state, name)
        if not os.path.exists(folder):
            self.assertEqual(make_manifest.main(["--new-key", folder]), 0)
        with open(os.path.join(folder, make_manifest.PRIVATE_KEY_NAME), "rb") as f:
            key = serialization.load_pem_private_key(f.read(), password=None)
        return key, os.path.join(folder, make_manifest.PUBLIC_KEY_NAME)

    def test_signature(self):
        try:
            import cryptography  # noqa: F401
        except ImportError:
            self.skipTest("no cryptography module")
        with contextlib.redirect_stdout(io.StringIO()):
            key, key_file = self.new_key("first-key")
            other_key_file = self.new_key("other-key")[1]

        def signed(data, tail=b"\n"):
            return data + make_manifest.signature_line(data, key)[:-1] + tail

        unnumbered = manifest(GOOD)
        body = unnumbered + b"#serial 1700000000\n"
        # The manifest, what the first line says (None: all good) and the public keys given.
        cases = [
            (signed(body), None),
            (signed(body, b"\r\n"), None),
            (signed(body, b""), None),
            # Only a comment differs, so nothing but the signature can tell.
            (signed(body).replace(b"published", b"publishes"),
             "manifest: signed by none of the keys given"),
            (signed(body), None, [other_key_file, key_file]),
            (signed(body), "manifest: signed by none of the keys given", [other_key_file]),
            (signed(body)[:-5] + b"\n", "manifest: signature is"),
            (body, "manifest: not signed"),
            (signed(body) + b"# later\n", "manifest: not signed"),
            (signed(unnumbered), "manifest: no \"#serial N\" line; a keyed launcher refuses it"),
            (signed(unnumbered + b"#serial 01\n"), "manifest: b'#serial 01' is not"),
            (signed(body + b"#serial 1800000001\n"), "manifest: more than one #serial line"),
        ]
        for data, problem, *keys in cases:
            with self.subTest(data=data[-40:], problem=problem, keys=keys):
                given = [a for k in (keys[0] if keys else [key_file]) for a in ("--public-key", k)]
                status, out, _ = self.run_check(*given, "--manifest", self.local_manifest(data))
                if problem is None:
                    self.assertEqual((status, out[-1:]), (0, ["4 files, 200.02 KiB: all good"]))
                else:
                    self.assertEqual(status, 1)
                    self.assertTrue(out[0].startswith(problem), out)

        # A serial players would refuse: not above the live manifest's, far ahead of the site's
        # clock, or below the launcher's minimum.
        live_path = os.path.join(self.published, "manifest.txt")
        with open(live_path, "rb") as f:
            self.addCleanup(write, live_path, f.read())
        live = signed(unnumbered + b"#serial 1700000000\n")
        write(live_path, live)

        def new(serial):
            path = os.path.join(self.state, "new-%d.txt" % serial)
            write(path, signed(unnumbered + b"# rebuilt\r\n#serial %d\n" % serial))
            return path

        ahead = int(time.time()) + 2 * 24 * 60 * 60
        below_live = "manifest: serial %d is not above the live manifest's serial 1700000000"
        # Options, the live manifest's fault, the exit status and what the first line says.
        cases = [
            (["--manifest", new(1699999999)], None, 1, below_live % 1699999999),
            (["--manifest", new(1700000000)], None, 0,
             "manifest: warning: serial 1700000000 is the live manifest's serial too: players who "
             "hold the live one accept this one, and would accept the live one again"),
            (["--manifest", self.local_manifest(live)], None, 0, None),
            (["--manifest", new(1700000001)], None, 0, None),
            (["--manifest", new(1699999999)], {"status": 404}, 0,  # the first publication
             "manifest: nothing published yet: the live manifest answers 404"),
            (["--manifest", new(1699999999)], {"status": 403}, 0,  # the same in object storage
             "manifest: nothing published yet: the live manifest answers 403"),
            (["--manifest", new(ahead)], None, 1,
             "manifest: serial %d is more than a day ahead of the site's clock (its Date)" % ahead),
            (["--min-serial", "1700000002"], None, 1,
             "manifest: serial 1700000000 is below 1700000002, the lowest the launcher accepts"),
            (["--min-serial", "1700000000"], None, 0, None),
        ]
        for args, live_fault, expected, line in cases:
            with self.subTest(args=args, live_fault=live_fault):
                write(self.faults, json.dumps({"/launcher/manifest.txt": live_fault or {}}).encode())
                status, out, err = self.run_check("--public-key", key_file, *args)
                os.remove(self.faults)
                self.assertEqual((status, err), (expected, ""), out)
                if line is not None:
                    self.assertEqual(out[0][:len(line)], line, out)
                if expected == 0:
                    self.assertRegex(out[-1], "^4 files, 200.02 KiB: (all good|1 warning, no problems)$")
                    self.assertEqual(len(out), 1 + (line is not None), out)


    def test_retiring_a_key_step_by_step_keeps_players_updating(self):
        try:
            from test_manifest_signing import configure_keys, key_point
        except ImportError:
            self.skipTest("no cryptography module")
        folder = lambda *parts: os.path.join(self.state, "retire", *parts)  # noqa: E731
        write(folder("game", "Brann.exe"), b"game")
        # The server serves only what lies below its root: the versions too.
        os.makedirs(folder("site", "releases"))
        url = self.start_server(folder("site"), "--header", "Cache-Control: no-cache")

        def publish(version, *options):
            self.assertEqual(make_manifest.main([folder("game"), folder("site", "releases", version)]
                                                + list(options)), 0)

        def switch_to(version):  # as on a plain server: one rename of a link
            os.symlink(os.path.join("releases", version, "launcher"), folder("site", "new"))
            os.replace(folder("site", "new"), folder("site", "launcher"))

        def check(*args):
            status, out, _ = self.run_check(*args, url=url)
            return status, out[0]

        with contextlib.redirect_stdout(io.StringIO()):
            signing, backup, fresh = (self.new_key("retire-" + k)[1] for k in ("a", "b", "c"))
            publish("v1", "--sign", signing.replace(".pub", ""))
            switch_to("v1")
            # The signing key is lost: the new launcher, committed after v1, trusts the others.
            live = check_site.signed_serial(self.read(folder("site", "releases", "v1", "launcher", "manifest.txt")))
            min_serial = live + 100
            header = configure_keys([backup, fresh], folder("build"), min_serial)[2]
            self.assertEqual([key_point(k) in header for k in (signing, backup, fresh)],
                             [False, True, True])
            write(folder("game", "TolmekBrannLauncher.exe"), b"the launcher trusting two keys")
            publish("v2", "--previous", folder("site", "releases", "v1"), "--sign", backup.replace(".pub", ""),
                    "--min-serial", str(min_serial))
        new = ["--full", "--root", folder("site", "releases", "v2", "launcher")]
        self.assertEqual(check(*new, "--public-key", backup), (0, "2 files, 34 bytes: all good"))
        self.assertEqual(check(*new, "--public-key", signing),
                         (1, "manifest: signed by none of the keys given"))
        both = ["--public-key", backup, "--public-key", fresh, "--min-serial", str(min_serial)]
        # Until v2 is live, the new launcher would refuse what the site serves.
        self.assertEqual(check(*both), (1, "manifest: signed by none of the keys given"))
        switch_to("v2")
        self.assertEqual(check("--full", *both), (0, "2 files, 34 bytes: all good"))

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

if __name__ == "__main__":
    unittest.main()
