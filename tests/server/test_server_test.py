#!/usr/bin/env python3
"""Checks the loopback HTTPS test server, its certificates and its scripts."""
import http.client
import json
import os
import random
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # keep the source tree clean
import make_certs  # noqa: E402

STATE = None
BIG = random.Random(7).randbytes(200 * 1024 + 7)  # several 64 KiB chunks, ragged end
UTF8_NAME = "Ação 1.ogg"
UTF8_URL = "/launcher/files/sons/A%C3%A7%C3%A3o%201.ogg"


def setUpModule():
    global STATE
    STATE = tempfile.mkdtemp(prefix="tolmek-server-test-")
    make_certs.make_certs(os.path.join(STATE, "certs"))


def tearDownModule():
    shutil.rmtree(STATE, ignore_errors=True)


def cert(name):
    return os.path.join(STATE, "certs", name)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def script(name, *args):
    return subprocess.run(["bash", os.path.join(HERE, name), STATE] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def running(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"test_server.py" in f.read()  # a zombie's is empty
    except FileNotFoundError:
        return False


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def https(test, port, ca="ca.pem", host="localhost"):
    conn = http.client.HTTPSConnection(
        host, port, timeout=10, context=ssl.create_default_context(cafile=cert(ca)))
    test.addCleanup(conn.close)
    return conn


def openssl_text(path, *args):
    return subprocess.run(["openssl", "x509", "-in", path, "-noout"] + list(args),
                          check=True, stdout=subprocess.PIPE, text=True).stdout


class CertTests(unittest.TestCase):
    def test_rerun_keeps_valid_files_and_remakes_a_mismatched_leaf(self):
        d = tempfile.mkdtemp(dir=STATE)
        shutil.copytree(cert(""), d, dirs_exist_ok=True)
        files = lambda: {n: read(os.path.join(d, n)) for n in os.listdir(d) if n != ".lock"}
        before = files()
        self.assertEqual(len(before), 11)
        make_certs.make_certs(d)
        self.assertEqual(files(), before)
        # What an interrupted earlier run could leave behind.
        shutil.copy(os.path.join(d, "untrusted-server.key"), os.path.join(d, "server.key"))
        make_certs.make_certs(d)
        after = files()
        self.assertEqual(after["ca.pem"], before["ca.pem"])
        self.assertNotEqual(after["server.pem"], before["server.pem"])
        ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER).load_cert_chain(
            os.path.join(d, "server.pem"), os.path.join(d, "server.key"))
        subprocess.run(["openssl", "verify", "-CAfile", os.path.join(d, "ca.pem"),
                        os.path.join(d, "server.pem")], check=True, stdout=subprocess.DEVNULL)

    def test_what_the_windows_chain_engine_wants(self):
        ca = openssl_text(cert("ca.pem"), "-subject", "-ext",
                          "basicConstraints,keyUsage,subjectKeyIdentifier")
        self.assertIn("Tolmek Brann Test CA", ca)
        self.assertRegex(ca, r"Basic Constraints: critical\s+CA:TRUE")
        self.assertRegex(ca, r"Key Usage: critical\s+Certificate Sign, CRL Sign")
        self.assertIn("Subject Key Identifier", ca)
        leaf = openssl_text(cert("server.pem"), "-startdate", "-enddate", "-ext",
                            "subjectAltName,extendedKeyUsage,keyUsage,basicConstraints,"
                            "authorityKeyIdentifier")
        for wanted in ("DNS:localhost", "IP Address:127.0.0.1", "TLS Web Server Authentication",
                       "Digital Signature, Key Encipherment", "CA:FALSE",
                       "Authority Key Identifier"):
            self.assertIn(wanted, leaf)
        dates = dict(line.split("=", 1) for line in leaf.splitlines()[:2])
        self.assertLess(ssl.cert_time_to_seconds(dates["notBefore"]), time.time() - 20 * 3600)
        self.assertGreater(ssl.cert_time_to_seconds(dates["notAfter"]),
                           time.time() + 9 * 365 * 86400)
        self.assertEqual(ssl.PEM_cert_to_DER_cert(read(cert("ca.pem")).decode()),
                         read(cert("ca.der")))


class ServerTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.root = os.path.join(STATE, "root")
        os.makedirs(os.path.join(cls.root, "launcher", "files", "sons"))
        write(os.path.join(cls.root, "launcher/manifest.txt"), b"hello\n")
        write(os.path.join(cls.root, "launcher/files/big.bin"), BIG)
        write(os.path.join(cls.root, "launcher/files/sons", UTF8_NAME), b"som")
        write(os.path.join(STATE, "secret.txt"), b"outside the root")
        r = script("start_server.sh", cls.port, cls.root, "--header", "Cache-Control: no-cache")
        if r.returncode != 0:
            raise RuntimeError("server did not start: " + r.stderr)
        cls.log = os.path.join(STATE, "requests-%d.log" % cls.port)
        cls.faults = os.path.join(STATE, "faults-%d.json" % cls.port)

    @classmethod
    def tearDownClass(cls):
        script("stop_server.sh", cls.port)

    def tearDown(self):
        self.set_faults(None)

    def set_faults(self, faults):
        write(self.faults + ".tmp", json.dumps(faults).encode() if faults else b"")
        os.replace(self.faults + ".tmp", self.faults)

    def get(self, path, conn=None, headers=None, method="GET"):
        conn = conn or https(self, self.port)
        conn.request(method, path, headers=headers or {})
        resp = conn.getresponse()
        return resp, resp.read()

    def last_log_line(self):
        return read(self.log).decode("utf-8").splitlines(keepends=True)[-1]

    def test_serves_files_byte_for_byte(self):
        resp, body = self.get("/launcher/manifest.txt", https(self, self.port, host="127.0.0.1"))
        self.assertEqual((resp.status, body), (200, b"hello\n"))
        resp, body = self.get("/launcher/files/big.bin")
        self.assertEqual(resp.getheader("Content-Length"), str(len(BIG)))
        self.assertTrue(body == BIG, "big file differs")

    def test_utf8_path_and_request_log(self):
        resp, body = self.get(UTF8_URL, headers={"User-Agent": "TolmekBrann/1.0 (test)"})
        self.assertEqual((resp.status, body), (200, b"som"))
        self.assertEqual(self.last_log_line(),
                         "GET %s HTTP/1.1\tTolmekBrann/1.0 (test)\n" % UTF8_URL)
        self.get("/launcher/manifest.txt?x=1")  # http.client sends no User-Agent
        self.assertEqual(self.last_log_line(), "GET /launcher/manifest.txt?x=1 HTTP/1.1\t\n")
        with open(self.log, encoding="utf-8") as f:
            for line in f:
                self.assertRegex(line, r"^[A-Z]+ \S+ HTTP/1\.1\t[^\t]*\n$")

    def test_not_found_escapes_and_other_methods(self):
        self.assertTrue(os.path.exists(os.path.join(self.root, "../secret.txt")))
        for path in ("/launcher/nope.txt", "/launcher/files", "/../secret.txt",
                     "/launcher/%2e%2e/%2E%2E/secret.txt", "/%2Fetc%2Fpasswd", "/launcher/%FF"):
            resp, body = self.get(path)
            self.assertEqual(resp.status, 404, path)
            self.assertNotIn(b"outside", body)
        self.assertEqual(self.get("/launcher/manifest.txt", method="POST")[0].status, 405)

    def test_status_fault_after_delay_then_cleared(self):
        self.set_faults({"/launcher/manifest.txt": {"status": 503, "delay_before": 0.3},
                         "/launcher/absent.txt": {"status": 200}, UTF8_URL: {"status": 410}})
        t = time.monotonic()
        resp, _ = self.get("/launcher/manifest.txt")
        self.assertEqual(resp.status, 503)
        self.assertGreaterEqual(time.monotonic() - t, 0.3)
        self.assertEqual(self.get("/launcher/absent.txt")[0].status, 200)
        self.assertEqual(self.get(UTF8_URL)[0].status, 410)
        self.set_faults(None)
        self.assertEqual(self.get("/launcher/manifest.txt")[1], b"hello\n")

    def test_cut_after_truncates_and_hangs_up(self):
        self.set_faults({"/launcher/files/big.bin": {"cut_after": 70000}})
        conn = https(self, self.port)
        conn.request("GET", "/launcher/files/big.bin")
        resp = conn.getresponse()
        self.assertEqual(resp.getheader("Content-Length"), str(len(BIG)))
        with self.assertRaises(http.client.IncompleteRead) as cm:
            resp.read()
        self.assertTrue(cm.exception.partial == BIG[:70000], "partial body differs")

    def test_extra_and_drop_bytes_and_headers(self):
        self.set_faults({"/launcher/files/big.bin": {"extra_bytes": 10, "headers": {
                             "Age": 5, "Cache-Control": None}},
                         "/launcher/manifest.txt": {"drop_bytes": 2}})
        resp, body = self.get("/launcher/files/big.bin")
        self.assertEqual(resp.getheader("Content-Length"), str(len(BIG) + 10))
        self.assertEqual((resp.getheader("Age"), resp.getheader("Cache-Control")), ("5", None))
        self.assertTrue(body == BIG + b"X" * 10, "extended body differs")
        resp, body = self.get("/launcher/manifest.txt")
        self.assertEqual((resp.getheader("Content-Length"), body), ("4", b"hell"))
        self.assertEqual(resp.getheader("Cache-Control"), "no-cache")

    def test_slow_download(self):
        self.set_faults({"/launcher/files/big.bin": {"delay_per_chunk": 0.1}})
        t = time.monotonic()
        _, body = self.get("/launcher/files/big.bin")
        self.assertGreaterEqual(time.monotonic() - t, 0.4)  # four chunks
        self.assertTrue(body == BIG)

    def test_silent_faults_hold_the_connection_until_taken_away(self):
        ctx = ssl.create_default_context(cafile=cert("ca.pem"))
        # faults, path requested (None: the handshake is held), body bytes before the silence
        for faults, path, before in (
                ({"handshake": {"silent": True}}, None, 0),
                ({"/launcher/manifest.txt": {"silent": True}}, "/launcher/manifest.txt", 0),
                ({"/launcher/files/big.bin": {"stall_after": 70000}}, "/launcher/files/big.bin", 70000)):
            with self.subTest(faults=faults):
                self.set_faults(faults)
                raw = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                s = ctx.wrap_socket(raw, server_hostname="localhost", do_handshake_on_connect=False)
                self.addCleanup(s.close)
                if path is None:
                    s.settimeout(1.5)
                    with self.assertRaises(TimeoutError):
                        s.do_handshake()
                    wake = lambda: s.do_handshake() or b"handshake completed"  # noqa: E731
                else:
                    s.do_handshake()
                    s.sendall(b"GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path.encode())
                    received = b""
                    while len(received.partition(b"\r\n\r\n")[2]) < before:
                        received += s.recv(65536)
                    head, _, body = received.partition(b"\r\n\r\n")
                    self.assertTrue(body == BIG[:before], "body before the silence differs")
                    if before:
                        self.assertIn(b"Content-Length: %d" % len(BIG), head)
                    s.settimeout(1.5)
                    with self.assertRaises(TimeoutError):
                        s.recv(4096)
                    wake = lambda: s.recv(4096)  # noqa: E731
                self.set_faults(None)
                s.settimeout(10)
                started = time.monotonic()
                try:
                    after = wake()
                except OSError:
                    after = b""
                self.assertEqual(after, b"")
                self.assertLess(time.monotonic() - started, 5)

    def test_keep_alive_across_requests_and_errors(self):
        conn = https(self, self.port)
        self.get("/launcher/manifest.txt", conn)
        sock = conn.sock
        for path in ("/launcher/files/big.bin", "/launcher/nope", "/launcher/manifest.txt"):
            self.get(path, conn)
            self.assertIs(conn.sock, sock, "reconnected after " + path)

    def test_ipv6_loopback(self):
        with open(os.path.join(STATE, "server-%d.out" % self.port)) as f:
            if "not serving [::1]" in f.read():
                self.skipTest("no IPv6 loopback here")
        ctx = ssl.create_default_context(cafile=cert("ca.pem"))
        with socket.create_connection(("::1", self.port), timeout=10) as raw, \
                ctx.wrap_socket(raw, server_hostname="localhost") as s:
            s.sendall(b"GET /launcher/manifest.txt HTTP/1.1\r\nHost: localhost\r\n"
                      b"Connection: close\r\n\r\n")
            reply = b""
            while chunk := s.recv(4096):
                reply += chunk
        self.assertTrue(reply.startswith(b"HTTP/1.1 200 "), reply[:40])
        self.assertTrue(reply.endswith(b"\r\n\r\nhello\n"))


class LifecycleTests(unittest.TestCase):
    def test_untrusted_certificate_is_rejected(self):
        port = free_port()
        r = script("start_server.sh", port, STATE, "--untrusted")
        self.assertEqual(r.returncode, 0, r.stderr)
        try:
            with self.assertRaises(ssl.SSLCertVerificationError):
                https(self, port).request("GET", "/")
            # Yet it is a sound chain of its own, so only trust is at stake.
            conn = https(self, port, "untrusted-ca.pem")
            conn.request("GET", "/nope")
            self.assertEqual(conn.getresponse().status, 404)
        finally:
            script("stop_server.sh", port)

    def test_tls_versions_offered_can_be_limited(self):
        for option, client_max, expected in (("--min-tls", None, "TLSv1.3"),
                                             ("--min-tls", ssl.TLSVersion.TLSv1_2, None),
                                             ("--max-tls", None, "TLSv1.2")):
            with self.subTest(option=option, client_max=client_max):
                port = free_port()
                self.addCleanup(script, "stop_server.sh", port)
                limit = "1.3" if option == "--min-tls" else "1.2"
                r = script("start_server.sh", port, STATE, option, limit)
                self.assertEqual(r.returncode, 0, r.stderr)
                ctx = ssl.create_default_context(cafile=cert("ca.pem"))
                if client_max:
                    ctx.maximum_version = client_max
                raw = socket.create_connection(("127.0.0.1", port), timeout=10)
                if expected is None:
                    with self.assertRaises(ssl.SSLError):
                        ctx.wrap_socket(raw, server_hostname="localhost")
                    raw.close()
                    continue
                with ctx.wrap_socket(raw, server_hostname="localhost") as s:
                    self.assertEqual(s.version(), expected)

    def test_restart_replaces_and_stop_ends_the_server(self):
        port = free_port()
        pidfile = os.path.join(STATE, "server-%d.pid" % port)
        self.addCleanup(script, "stop_server.sh", port)
        self.assertEqual(script("start_server.sh", port, STATE).returncode, 0)
        first = int(read(pidfile))
        self.assertEqual(script("start_server.sh", port, STATE).returncode, 0)
        second = int(read(pidfile))
        self.assertNotEqual(first, second)
        self.assertFalse(running(first))
        self.assertTrue(running(second))
        self.assertEqual(script("stop_server.sh", port).returncode, 0)
        self.assertFalse(running(second))
        self.assertFalse(os.path.exists(pidfile))
        self.assertEqual(script("stop_server.sh", port).returncode, 0)

    def test_start_fails_when_port_is_taken(self):
        with socket.socket() as squatter:
            squatter.bind(("127.0.0.1", 0))
            squatter.listen()
            port = squatter.getsockname()[1]
            r = script("start_server.sh", port, STATE)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Address already in use", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(STATE, "server-%d.pid" % port)))

    def test_silent_on_stdout_and_clean_exit_on_sigterm(self):
        port = free_port()
        pidfile = os.path.join(STATE, "direct.pid")
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "test_server.py"), "--root", STATE,
             "--port", str(port), "--cert", cert("server.pem"), "--key", cert("server.key"),
             "--log", os.path.join(STATE, "direct.log"), "--faults", "/nonexistent",
             "--pidfile", pidfile],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        for _ in range(100):
            if os.path.exists(pidfile):
                break
            time.sleep(0.05)
        self.assertEqual(int(read(pidfile)), proc.pid)
        conn = https(self, port)
        conn.request("GET", "/direct.pid")
        self.assertEqual(conn.getresponse().read(), read(pidfile))
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.communicate(timeout=5), (b"", None))
        self.assertEqual(proc.returncode, 0)


if __name__ == "__main__":
    unittest.main()
