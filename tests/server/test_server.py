#!/usr/bin/env python3
"""HTTPS file server on loopback for the launcher's network tests.

Serves files below --root, logs every request line and User-Agent to --log,
and misbehaves on demand according to the JSON object in --faults, re-read on
every request:

    {"/launcher/manifest.txt": {"status": 503, "delay_before": 1.5}}

Fault keys per path (the path as sent, still percent-encoded, no query):
  status N           answer N with a short body instead of the file
  cut_after N        announce the full length, send N body bytes, hang up
  extra_bytes N      append N bytes of "X" (Content-Length matches)
  drop_bytes N       leave off the last N bytes (Content-Length matches)
  delay_before S     sleep S seconds before the status line
  delay_per_chunk S  sleep S seconds before every 64 KiB of body
  silent true        read the request, then say nothing with the connection open
  stall_after N      announce the full length, send N body bytes, then say
                     nothing with the connection open
  headers {H: V}     send header H: V with the file, in place of a --header H
                     (V null: leave that one out)
A connection held silent is closed once the client hangs up, the fault is
taken away, or HOLD_LIMIT seconds have passed.  The key "handshake" holds
every new connection silent before TLS starts: {"handshake": {"silent": true}}.

--max-tls 1.2 or --min-tls 1.3 limit the TLS versions offered; --header "H: V",
repeatable, is sent with every file served.
"""
import argparse
import http.server
import json
import os
import select
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

CHUNK = 64 * 1024
HOLD_LIMIT = 300
TLS_VERSIONS = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, family, ssl_context, root, log_path, faults_path, headers):
        self.address_family = family
        self.headers = headers
        self.ssl_context = ssl_context
        self.root = os.path.realpath(root)
        self.log_path = log_path
        self.faults_path = faults_path
        self.log_lock = threading.Lock()
        super().__init__(address, Handler)

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()

    def get_request(self):
        sock, addr = self.socket.accept()
        # Handshake later, in the handler's thread, so a stalled client
        # cannot block accept().
        return self.ssl_context.wrap_socket(
            sock, server_side=True, do_handshake_on_connect=False), addr

    def handle_error(self, request, client_address):
        err = sys.exc_info()[1]
        # Port probes and clients hanging up mid-body are routine here.
        if isinstance(err, (ssl.SSLEOFError, ConnectionError)):
            return
        if isinstance(err, OSError):
            sys.stderr.write("%s: %s\n" % (client_address[0], err))
            return
        super().handle_error(request, client_address)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TolmekTestServer/1"
    timeout = 300  # reclaims threads of abandoned keep-alive connections

    def setup(self):
        super().setup()
        self.held_before_tls = self.fault_stands("handshake", "silent")
        if self.held_before_tls:
            # The raw socket's recv: SSLSocket's own would start the handshake.
            self.hold(lambda: socket.socket.recv(self.connection, 4096),
                      lambda: self.fault_stands("handshake", "silent"))
            return
        self.connection.do_handshake()

    def handle(self):
        if not self.held_before_tls:
            super().handle()

    def fault_stands(self, key, name):
        try:
            return bool(self.load_faults().get(key, {}).get(name))
        except (ValueError, AttributeError):
            return False

    def hold(self, receive, still_wanted):
        """Say nothing until the client hangs up or the fault is taken away."""
        deadline = time.monotonic() + HOLD_LIMIT
        while time.monotonic() < deadline and still_wanted():
            if not select.select([self.connection], [], [], 0.5)[0]:
                continue
            try:
                if not receive():
                    break
            except ssl.SSLWantReadError:
                continue
            except OSError:
                break
        self.close_connection = True

    def log_request(self, code="-", size="-"):
        pass  # requests go to --log instead

    def log_message(self, format, *args):
        sys.stderr.write("%s: %s\n" % (self.address_string(), format % args))

    def log_to_file(self):
        # Raw bytes, so the log shows exactly what the client sent.
        agent = self.headers.get("User-Agent", "").encode("latin-1", "replace")
        line = self.raw_requestline.rstrip(b"\r\n") + b"\t" + agent + b"\n"
        with self.server.log_lock, open(self.server.log_path, "ab") as f:
            f.write(line)

    def load_faults(self):
        try:
            with open(self.server.faults_path, encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            return {}
        return json.loads(text) if text.strip() else {}

    def send_simple(self, code, text, close=False):
        body = text.encode("utf-8") if code not in (204, 304) else b""
        self.send_response(code)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        if code not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def local_file(self, url_path):
        try:
            rel = urllib.parse.unquote(url_path, encoding="utf-8", errors="strict")
        except UnicodeDecodeError:
            return None
        if "\0" in rel:
            return None
        full = os.path.realpath(os.path.join(self.server.root, rel.lstrip("/")))
        if not full.startswith(self.server.root + os.sep) or not os.path.isfile(full):
            return None
        return full

    def do_GET(self):
        self.log_to_file()
        url_path = self.path.split("?", 1)[0]
        try:
            fault = self.load_faults().get(url_path, {})
            status = fault.get("status")
            status = None if status is None else int(status)
            cut_after = fault.get("cut_after")
            cut_after = None if cut_after is None else int(cut_after)
            extra = int(fault.get("extra_bytes", 0))
            drop = int(fault.get("drop_bytes", 0))
            delay_before = float(fault.get("delay_before", 0))
            delay_per_chunk = float(fault.get("delay_per_chunk", 0))
            silent = bool(fault.get("silent"))
            stall_after = fault.get("stall_after")
            stall_after = None if stall_after is None else int(stall_after)
            headers = dict(self.server.headers, **fault.get("headers", {}))
        except (ValueError, TypeError, AttributeError) as e:
            self.send_simple(500, "bad faults file: %s\n" % e)
            return

        time.sleep(delay_before)
        if silent:
            self.hold(lambda: self.connection.recv(4096),
                      lambda: self.fault_stands(url_path, "silent"))
            return
        if status is not None:
            self.send_simple(status, "fault %d\n" % status)
            return
        path = self.local_file(url_path)
        if path is None:
            self.send_simple(404, "not found\n")
            return

        with open(path, "rb") as f:
            from_file = max(os.fstat(f.fileno()).st_size - drop, 0)
            length = from_file + extra
            to_send = length if cut_after is None else min(cut_after, length)
            if stall_after is not None:
                to_send = min(stall_after, length)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(length))
            for name, value in headers.items():
                if value is not None:
                    self.send_header(name, str(value))
            self.end_headers()
            sent = 0
            while sent < to_send:
                time.sleep(delay_per_chunk)
                n = min(CHUNK, to_send - sent)
                if sent < from_file:
                    data = f.read(min(n, from_file - sent))
                    if not data:
                        break  # file shrank underneath us
                else:
                    data = b"X" * n
                self.wfile.write(data)
                sent += len(data)
        if sent < length and stall_after is not None:
            self.wfile.flush()
            self.hold(lambda: self.connection.recv(4096),
                      lambda: self.fault_stands(url_path, "stall_after"))
        if sent < length:
            # No TLS close_notify: the client must see a truncated body.
            self.close_connection = True

    def not_allowed(self):
        self.log_to_file()
        # The unread request body would desynchronise the connection.
        self.send_simple(405, "method not allowed\n", close=True)

    do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = not_allowed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--faults", required=True)
    parser.add_argument("--pidfile")
    parser.add_argument("--max-tls", choices=sorted(TLS_VERSIONS))
    parser.add_argument("--min-tls", choices=sorted(TLS_VERSIONS))
    parser.add_argument("--header", action="append", default=[], metavar="NAME: VALUE")
    parser.add_argument("--host", default="127.0.0.1",
                        help="with the default, [::1] is served too where possible")
    args = parser.parse_args()

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    ctx.set_alpn_protocols(["http/1.1"])
    if args.max_tls:
        ctx.maximum_version = TLS_VERSIONS[args.max_tls]
    if args.min_tls:
        ctx.minimum_version = TLS_VERSIONS[args.min_tls]

    headers = {}
    for header in args.header:
        name, colon, value = header.partition(":")
        if not colon or not name.strip():
            parser.error("--header wants \"NAME: VALUE\", not %r" % header)
        headers[name.strip()] = value.strip()
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    servers = [Server((args.host, args.port), family, ctx,
                      args.root, args.log, args.faults, headers)]
    if args.host == "127.0.0.1":
        # Clients that try ::1 first for "localhost" then get no refusal.
        try:
            servers.append(Server(("::1", args.port), socket.AF_INET6, ctx,
                                  args.root, args.log, args.faults, headers))
        except OSError as e:
            sys.stderr.write("not serving [::1]:%d: %s\n" % (args.port, e))

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(0))
    if args.pidfile:
        with open(args.pidfile + ".tmp", "w") as f:
            f.write("%d\n" % os.getpid())
        os.replace(args.pidfile + ".tmp", args.pidfile)
    sys.stderr.write("serving %s on port %d\n" % (args.root, args.port))
    sys.stderr.flush()
    try:
        for extra in servers[1:]:
            threading.Thread(target=extra.serve_forever, daemon=True).start()
        servers[0].serve_forever()
    finally:
        for s in servers:
            s.server_close()


if __name__ == "__main__":
    main()
