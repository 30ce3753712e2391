#!/usr/bin/env python3
"""Check an update site the way the launcher will use it.

    python3 tools/check_site.py [--full] [--manifest FILE] [--public-key KEY ... [--min-serial N]] URL
    python3 tools/check_site.py [--full] --root FOLDER [--public-key KEY ... [--min-serial N] [URL]]

URL is the site's base, e.g. https://atualizacao.tolmekbrann.com.br/launcher/.
Every file the manifest lists must answer 200 at URL + "files/" + its
percent-encoded path with the listed size (and, with --full, the listed
SHA-256).  The manifest must list Brann.exe, and the site must offer TLS 1.2,
the highest version the launcher's platform speaks.  The manifest and the files
must make a shared cache (a CDN's edge) ask the site before it serves them a
minute after they were fetched, and must not be sent encoded.  --root reads a
publication's folder (OUT_DIR/launcher/, or a version folder on the server)
instead, everything but TLS and headers.  Each problem is printed as "path:
what is wrong", one shared by several files once with their count; warnings
read "path: warning: ...".  The exit status is 0 when there is no problem, 1 on
any and 2 when the manifest can't be read.

With --public-key the manifest must be signed with one of the keys given and
carry a serial that keyed players accept: at least --min-serial N (the lowest
the launcher built with those keys accepts), not more than a day ahead of the
site's clock, and, for a new manifest (--manifest or --root), above the serial
of the live one at URL.
"""

import argparse
import base64
import concurrent.futures
import datetime
import email.utils
import hashlib
import http.client
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse

import make_manifest

USER_AGENT = "TolmekBrannLauncher/1.0"
BLOCK_SIZE = 1 << 16
TIMEOUT = 60
SIGNATURE_PREFIX = b"#signature "
DAY = 24 * 60 * 60
GAME_EXECUTABLE = b"brann.exe"  # compared in lower case, as Windows finds it
# Bytes the launcher sends as they are in a URL path; all others become %XX.
_UNENCODED = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                       b"0123456789-./_")
_HEX = frozenset(b"0123456789abcdefABCDEF")
# Seconds a shared cache may serve the manifest or a file without asking the
# site: after an upload, players behind an edge get the old bytes this long.
FRESH_LIMIT = 60
FAILED_RUN = "\"Falha ao baixar um arquivo. Tente de novo.\" on every start"
# Paths named in a line that several files share, unless --verbose.
FEW_PATHS = 3


class Failed(Exception):
    """The check can't go on: a bad option, an unreadable manifest."""


def encode_path(raw):
    """The launcher's percent-encoding of a path's UTF-8 bytes."""
    return "".join(chr(b) if b in _UNENCODED else "%%%02X" % b for b in raw)


def parse_manifest(data):
    """[(line number, digest, size, raw path)] and [(line number, label, problem)].

    Only records the launcher would accept go in the first list."""
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    records, problems = [], []
    for number, line in enumerate(data.split(b"\n"), 1):
        if line.endswith(b"\r"):
            line = line[:-1]
        if not line or line.startswith(b"#"):
            continue
        fields = line.split(b" ", 2)
        if len(fields) < 3:
            problems.append((number, _show(line), "not a \"digest size path\" line "
                             "(manifest line %d)" % number))
            continue
        digest, size, raw = fields
        if len(digest) != 64 or not all(b in _HEX for b in digest):
            reasons = ["digest is not 64 hex digits"]
        elif size.startswith(b"-"):
            reasons = ["size is negative"]
        elif not size.isdigit() or int(size) >= 1 << 64:
            reasons = ["size is not a byte count"]
        else:
            reasons = make_manifest.path_problems(raw)
        for reason in reasons:
            problems.append((number, _show(raw), "%s (manifest line %d)" % (reason, number)))
        if not reasons:
            records.append((number, digest.decode().lower(), int(size), raw))
    return records, problems


def split_signature(data):
    """(signed bytes, signature line's text) or (data, None) when unsigned."""
    body = data[:-1] if data.endswith(b"\n") else data
    body = body[:-1] if body.endswith(b"\r") else body
    start = body.rfind(b"\n") + 1
    if not body[start:].startswith(SIGNATURE_PREFIX):
        return data, None
    return data[:start], body[start + len(SIGNATURE_PREFIX):]


def serial_problem(signed):
    """Why a keyed launcher would refuse the signed part's serial, or None."""
    try:
        if make_manifest.manifest_serial(signed):
            return None
        reason = "no \"#serial N\" line"
    except ValueError as e:
        reason = str(e)
    return reason + "; a keyed launcher refuses it"


def signed_serial(data):
    """The serial in the signed part of a manifest, 0 when it has none a keyed launcher reads."""
    try:
        return make_manifest.manifest_serial(split_signature(data)[0])
    except ValueError:
        return 0


def serial_findings(data, live, min_serial, now, clock):
    """[(warning?, what)] about a serial that keyed players would refuse, now or at every later
    publication: below min_serial, more than a day after now (the time of clock, named), or not
    above the live manifest's (live: its bytes when data is a new manifest, None when there is
    none to compare with)."""
    serial = signed_serial(data)
    if not serial:
        return []  # serial_problem says why
    findings = []
    if min_serial is not None and serial < min_serial:
        findings.append((False, "serial %d is below %d, the lowest the launcher accepts: it "
                         "refuses this manifest" % (serial, min_serial)))
    if serial > now + DAY:
        findings.append((False, "serial %d is more than a day ahead of %s: one of them is wrong, "
                         "and once players hold it, every later publication must be above it"
                         % (serial, clock)))
    live_serial = signed_serial(live) if live is not None and live != data else 0
    if serial < live_serial:
        findings.append((False, "serial %d is not above the live manifest's serial %d: players "
                         "who have the live one refuse it" % (serial, live_serial)))
    elif serial == live_serial:
        # Players accept an equal serial, so nothing stops the live manifest from coming back.
        findings.append((True, "serial %d is the live manifest's serial too: players who hold the "
                         "live one accept this one, and would accept the live one again if it were "
                         "served in its place (publish with --previous for a higher serial)"
                         % serial))
    return findings


def load_public_keys(paths):
    """A verify(signed, signature text) function that any of the keys satisfies; raises Failed."""
    keys = [_load_public_key(path) for path in paths]

    def verify(signed, text):
        try:
            raw = base64.b64decode(text, validate=True)
        except ValueError:
            return "signature is not base64"
        if len(raw) != 64:
            return "signature is %d bytes, not 64" % len(raw)
        r, s = int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")
        if any(_key_verifies(key, signed, r, s) for key in keys):
            return None
        # A changed byte and another key's signature look the same.
        return "signed by none of the keys given"

    return verify


def _key_verifies(key, signed, r, s):
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, utils
    try:
        key.verify(utils.encode_dss_signature(r, s), signed, ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        return False
    return True


def _load_public_key(path):
    """The ECDSA P-256 public key in the PEM file at path; raises Failed."""
    try:
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import ec
    except ImportError:
        raise Failed("--public-key needs the Python module 'cryptography' "
                     "(on Debian: apt-get install python3-cryptography)")
    try:
        with open(path, "rb") as f:
            key = serialization.load_pem_public_key(f.read())
    except (OSError, ValueError) as e:
        raise Failed("can't read the public key %s: %s" % (path, e))
    if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
        raise Failed("%s is not an ECDSA P-256 public key" % path)
    return key


class Site:
    """GETs below one HTTPS base URL; one kept-alive connection per thread."""

    def __init__(self, url, ca_file):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "https" or not parts.hostname:
            raise Failed("URL must be https://HOST[:PORT]/PATH/, not %s" % url)
        self.host, self.port = parts.hostname, parts.port or 443
        self.base = (parts.path or "/").rstrip("/") + "/"
        self.url = "https://%s%s" % (parts.netloc, self.base)
        self.ca_file = ca_file
        try:
            self.context = ssl.create_default_context(cafile=ca_file)
        except (OSError, ssl.SSLError) as e:
            raise Failed("can't load the certificate authority %s: %s" % (ca_file, e))
        # Windows 10's WinHTTP and Wine's offer TLS 1.2 at most.
        self.context.maximum_version = ssl.TLSVersion.TLSv1_2
        self.local = threading.local()
        self.lock = threading.Lock()
        self.connections = []

    def _handshake(self, context):
        with socket.create_connection((self.host, self.port), timeout=TIMEOUT) as raw, \
                context.wrap_socket(raw, server_hostname=self.host):
            pass

    def check_tls(self):
        """Raises Failed when the site speaks only TLS versions above 1.2."""
        try:
            self._handshake(self.context)
            return
        except ssl.SSLError:
            pass
        except OSError:
            return  # not reachable at all: the manifest's fetch says how
        try:
            self._handshake(ssl.create_default_context(cafile=self.ca_file))
        except OSError:
            return  # not a matter of the version
        raise Failed("%s: the site does not offer TLS 1.2: players on Windows 10 and on Wine "
                     "cannot connect" % self.url)

    def _connection(self):
        conn = getattr(self.local, "conn", None)
        if conn is None:
            conn = http.client.HTTPSConnection(self.host, self.port, timeout=TIMEOUT,
                                               context=self.context)
            self.local.conn = conn
            with self.lock:
                self.connections.append(conn)
        return conn

    def get(self, rel_url):
        """The response to GET base + rel_url, headers read.

        The caller reads the body or calls drop() before the next get()."""
        for attempt in (1, 2):
            conn = self._connection()
            reused = conn.sock is not None
            try:
                # As the launcher asks: no Accept-Encoding, so that a cache that varies on it
                # answers with the copy players get.
                conn.putrequest("GET", self.base + rel_url, skip_accept_encoding=True)
                conn.putheader("User-Agent", USER_AGENT)
                conn.endheaders()
                return conn.getresponse()
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                # A kept-alive connection the server had already closed.
                self.drop()
                if not reused or attempt == 2:
                    raise
            except BaseException:
                self.drop()
                raise

    def drop(self):
        conn = getattr(self.local, "conn", None)
        if conn is not None:
            conn.close()
            self.local.conn = None

    def close(self):
        with self.lock:
            for conn in self.connections:
                conn.close()


def _directives(value):
    """{name in lower case: argument or None} of a Cache-Control value."""
    found = {}
    for part in value.split(","):
        name, _, argument = part.partition("=")
        if name.strip():
            found.setdefault(name.strip().lower(), argument.strip().strip('"') or None)
    return found


def _age(resp):
    """The Age header's seconds, 0 when there is none or it is no number."""
    age = (resp.getheader("Age") or "").strip()
    return int(age) if age.isdigit() else 0


def http_date(text):
    """Seconds since 1970 of an HTTP date in any of its three forms, all GMT; None if unreadable."""
    try:
        when = email.utils.parsedate_to_datetime(text or "")
    except (TypeError, ValueError):
        return None
    # The asctime form carries no zone, and it is GMT too, not local time.
    return when.replace(tzinfo=datetime.timezone.utc).timestamp() if when.tzinfo is None \
        else when.timestamp()


def _expires_in(resp):
    """Seconds from the response's Date (or now) to its Expires, or None."""
    expires = http_date(resp.getheader("Expires"))
    if expires is None:
        return None  # a date caches can't read counts as expired
    date = http_date(resp.getheader("Date"))
    return expires - (time.time() if date is None else date)


def _shared_lifetime(resp):
    """(header, seconds) for which a shared cache may serve resp unasked, or None when it must
    ask first; seconds is None when no header says, and the cache picks a lifetime itself."""
    control = resp.getheader("Cache-Control")
    directives = _directives(control or "")
    # Shared caches keep nothing private and serve nothing no-cache unasked; with
    # field names these two only concern those header fields.
    if any(directives.get(name, "") is None for name in ("no-cache", "no-store", "private")):
        return None
    lifetime = directives.get("s-maxage", directives.get("max-age"))
    if lifetime is not None:  # Expires no longer counts
        return ("Cache-Control: " + control, int(lifetime)) if lifetime.isdigit() else None
    if resp.getheader("Expires") is None:
        return ("", None)
    seconds = _expires_in(resp)
    return None if seconds is None else ("Expires: " + resp.getheader("Expires"), seconds)


def header_findings(resp):
    """[(warning?, what)] about the headers that decide what caches and the
    launcher do with the body of a 200 response."""
    findings = []
    kept = _shared_lifetime(resp)
    if kept and kept[1] is None:
        findings.append((False, "no Cache-Control: no-cache (or a max-age of at most %d s) and no "
                         "Expires within %d s: a shared cache guesses how long to keep it (a CDN "
                         "often keeps it a day), and players behind an edge that kept the old bytes "
                         "get %s until it lets go" % (FRESH_LIMIT, FRESH_LIMIT, FAILED_RUN)))
    elif kept and kept[1] > FRESH_LIMIT:
        findings.append((False, "%s lets a shared cache serve it for %d s without asking the "
                         "site: players behind an edge that kept the old bytes get %s until it "
                         "expires" % (kept[0], kept[1], FAILED_RUN)))
    elif resp.getheader("Cache-Control") is None and resp.getheader("Age") is not None:
        findings.append((True, "Age: %s and no Cache-Control: a cache in front of the site "
                         "decides alone how long it serves these bytes (send Cache-Control: "
                         "no-cache)" % resp.getheader("Age")))
    encoding = resp.getheader("Content-Encoding")
    if encoding is not None and encoding.strip().lower() != "identity":
        findings.append((False, "Content-Encoding: %s: the launcher does not decode it, so "
                         "players get other bytes than the ones published" % encoding))
    return findings


def _mismatch(resp, what):
    """what is wrong with the body, and when a cache answered, that it is stale."""
    if _age(resp):
        what += ("; Age: %d says a cache answered: the edge is stale now, and players behind it "
                 "get %s until it expires or is purged" % (_age(resp), FAILED_RUN))
    return what


def _status(resp):
    return "answers %d %s" % (resp.status, resp.reason)


def _body(site, resp, listed_size, digest):
    """Read the body; returns a problem or None.  Hashes it when digest is given."""
    sha, received = hashlib.sha256(), 0
    try:
        while True:
            block = resp.read(BLOCK_SIZE)
            if not block:
                break
            received += len(block)
            if digest:
                sha.update(block)
    except (OSError, http.client.HTTPException) as e:
        site.drop()
        return "body broke off after %d bytes: %s" % (received, e)
    if resp.will_close or resp.length:
        site.drop()
    if received != listed_size:
        return _mismatch(resp, "received %d bytes of the %d listed" % (received, listed_size))
    if digest and sha.hexdigest() != digest:
        return _mismatch(resp, "SHA-256 is %s, not the listed %s" % (sha.hexdigest(), digest))
    return None


def check_file(site, record, full):
    """[(warning?, what)] for one listed file; empty when all is good."""
    _, digest, size, raw = record
    try:
        resp = site.get("files/" + encode_path(raw))
        if resp.status != 200:
            site.drop()
            return [(False, _status(resp))]
        findings = header_findings(resp)
        length = resp.getheader("Content-Length")
        if length is not None and length.strip() != str(size):
            site.drop()
            what = "Content-Length is %s, the manifest lists %d" % (length, size)
            return findings + [(False, _mismatch(resp, what))]
        if full or length is None:
            # Without a Content-Length only the body itself tells the size.
            what = _body(site, resp, size, digest if full else None)
            return findings + ([(False, what)] if what else [])
        site.drop()  # the launcher's GET, closed once the headers are seen
        return findings
    except (OSError, http.client.HTTPException) as e:
        site.drop()
        return [(False, "request failed: %s" % (e or type(e).__name__))]


def check_local_file(root, record, full):
    """[(warning?, what)] for one listed file in a publication's folder; empty when all is good."""
    _, digest, size, raw = record
    path = os.path.join(os.fsencode(root), b"files", *raw.split(b"/"))
    try:
        found = os.stat(path).st_size
        if found != size:
            return [(False, "is %d bytes, the manifest lists %d" % (found, size))]
        if full:
            sha = make_manifest._digest(path)[0]
            if sha != digest:
                return [(False, "SHA-256 is %s, not the listed %s" % (sha, digest))]
        return []
    except FileNotFoundError:
        return [(False, "not in the publication")]
    except OSError as e:
        return [(False, "can't read: %s" % e.strerror)]


def fetch_manifest(site, live=False):
    """(bytes, header_findings() of the response, the site's Date in seconds or None, a note).

    With live, the manifest players hold, fetched to compare serials: bytes None, and a note, when
    nothing is published yet, which object storage tells with a 403 and a plain server with a 404."""
    what = ("the live %s to compare serials" if live else "%s") % (site.url + "manifest.txt")
    try:
        resp = site.get("manifest.txt")
        date = http_date(resp.getheader("Date"))
        if live and resp.status in (403, 404):
            return None, [], date, ("nothing published yet: the live manifest %s; no serial to "
                                    "compare with" % _status(resp))
        if resp.status != 200:
            raise Failed("can't fetch %s: %s" % (what, _status(resp)))
        data = resp.read()
    except (OSError, http.client.HTTPException) as e:
        raise Failed("can't fetch %s: %s" % (what, e or type(e).__name__))
    finally:
        site.drop()
    return data, header_findings(resp), date, None


def check(check_one, data, parallel=1, verify=None):
    """[(label, problem)] and [(label, warning)] in manifest order, and the records checked;
    check_one(record) gives a file's [(warning?, what)]."""
    problems, warned = [], []
    records, found = parse_manifest(data)
    if verify:
        signed, text = split_signature(data)
        if text is None:
            problems.append(("manifest", "not signed: no last line \"#signature ...\""))
        else:
            reason = verify(signed, text)
            if reason:
                problems.append(("manifest", reason))
            reason = serial_problem(signed)
            if reason:
                problems.append(("manifest", reason))
    if not any(raw.lower() == GAME_EXECUTABLE for _, _, _, raw in records):
        problems.append(("manifest", "does not list Brann.exe at the top level: players can "
                         "update but never start the game"))
    progress = make_manifest.Progress("check_site", "checked", len(records))
    with concurrent.futures.ThreadPoolExecutor(max_workers=parallel) as pool:
        futures = {pool.submit(check_one, r): r for r in records}
        try:
            for future in concurrent.futures.as_completed(futures):
                progress.add_file()
                number, _, _, raw = futures[future]
                for warning, what in future.result():
                    (warned if warning else found).append((number, _show(raw), what))
        finally:
            progress.end()
    problems.extend((label, what) for _, label, what in sorted(found))
    return problems, [(label, what) for _, label, what in sorted(warned)], records


def report_lines(findings, verbose=False):
    """One line per distinct problem: "path: what", or, when several files share it, their
    count and the first few paths (all with verbose)."""
    paths = {}
    for label, what in findings:
        # The manifest's own lines stand alone, whatever a file shares with them.
        paths.setdefault((label == "manifest", what), []).append(label)
    lines = []
    for (_, what), labels in paths.items():
        if len(labels) == 1:
            lines.append("%s: %s" % (labels[0], what))
            continue
        shown = labels if verbose else labels[:FEW_PATHS]
        more = " and %d more" % (len(labels) - len(shown)) if len(shown) < len(labels) else ""
        lines.append("%s files (%s%s): %s" % (format(len(labels), ","), ", ".join(shown), more, what))
    return lines


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failed("can't read %s: %s" % (path, e.strerror))


human_size = make_manifest.human_size


def _show(raw):
    return make_manifest._show(raw.decode("utf-8", "surrogateescape"))


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="check_site.py",
        description="Check that an update site serves every file its manifest lists.")
    parser.add_argument("url", metavar="URL", nargs="?",
                        help="the site's base, where manifest.txt and files/ are")
    parser.add_argument("--ca", metavar="FILE",
                        help="trust this certificate authority (PEM) instead of the system's")
    parser.add_argument("--full", action="store_true",
                        help="download (or read) every file and check its SHA-256 too")
    parser.add_argument("--manifest", metavar="FILE",
                        help="check this local manifest instead of the site's")
    parser.add_argument("--root", metavar="FOLDER",
                        help="check the publication in this folder (holding manifest.txt and "
                             "files/) instead of the site; URL, if given, only for the live serial")
    parser.add_argument("--parallel", metavar="N", type=int, default=4,
                        help="check N files at once (default 4)")
    parser.add_argument("--public-key", metavar="FILE", action="append",
                        help="require a manifest signed with this ECDSA P-256 key (PEM); give "
                             "every key the launcher trusts, each with its own --public-key")
    parser.add_argument("--min-serial", metavar="N", type=make_manifest.serial_argument,
                        help="with --public-key, require a serial of at least N, the lowest "
                             "the launcher accepts (scripts/release prints it)")
    parser.add_argument("--verbose", action="store_true",
                        help="name every file of a problem that several files share")
    args = parser.parse_args(argv)
    if args.parallel < 1:
        parser.error("--parallel must be at least 1")
    if args.min_serial is not None and args.public_key is None:
        parser.error("--min-serial needs --public-key")
    if args.url is None and args.root is None:
        parser.error("give the site's URL, or --root FOLDER")
    if args.root is not None and args.url is not None and args.public_key is None:
        parser.error("with --root, URL only serves to compare serials: it needs --public-key")
    site, manifest_findings, date, note = None, [], None, None
    try:
        verify = load_public_keys(args.public_key) if args.public_key else None
        if args.url is not None:
            site = Site(args.url, args.ca)
            site.check_tls()
        if args.manifest:
            data = _read(args.manifest)
        elif args.root:
            data = _read(os.path.join(args.root, "manifest.txt"))
        else:
            data, manifest_findings, date, _ = fetch_manifest(site)
        # Players compare a new serial only with the one they hold, the live one's at best.
        live = None
        if verify and site and (args.manifest or args.root):
            live, _, date, note = fetch_manifest(site, live=True)
        if args.root:
            check_one = lambda r: check_local_file(args.root, r, args.full)  # noqa: E731
        else:
            check_one = lambda r: check_file(site, r, args.full)  # noqa: E731
        problems, warnings, records = check(check_one, data, args.parallel, verify)
        if verify:
            clock = "this machine's clock" if date is None else "the site's clock (its Date)"
            found = serial_findings(data, live, args.min_serial,
                                    time.time() if date is None else date, clock)
            problems += [("manifest", what) for warning, what in found if not warning]
            warnings[:0] = [("manifest", what) for warning, what in found if warning]
    except Failed as e:
        print("check_site: %s" % e, file=sys.stderr)
        return 2
    finally:
        if site:
            site.close()
    if note:
        print("manifest: %s" % note)
    if verify is None and split_signature(data)[1] is not None:
        print("manifest: signed, but the signature was not checked (give --public-key FILE)")
    problems[:0] = [("manifest", what) for warning, what in manifest_findings if not warning]
    warnings[:0] = [("manifest", what) for warning, what in manifest_findings if warning]
    for line in report_lines(problems, args.verbose):
        print(line)
    for line in report_lines([(label, "warning: " + what) for label, what in warnings],
                             args.verbose):
        print(line)
    total = sum(size for _, _, size, _ in records)
    summary = "%s file%s, %s" % (format(len(records), ","), "" if len(records) == 1 else "s",
                                 human_size(total))
    warned = "%d warning%s" % (len(warnings), "" if len(warnings) == 1 else "s")
    if problems:
        print("%s: %d problem%s%s" % (summary, len(problems), "" if len(problems) == 1 else "s",
                                      ", " + warned if warnings else ""))
        return 1
    print("%s: %s" % (summary, warned + ", no problems" if warnings else "all good"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
