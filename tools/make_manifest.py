#!/usr/bin/env python3
"""Publish a game folder for the launcher.

    python3 tools/make_manifest.py GAME_DIR OUT_DIR [--previous OLD_OUT_DIR] [--sign KEY.pem [--min-serial N]]
    python3 tools/make_manifest.py --new-key DIR

writes OUT_DIR/launcher/manifest.txt and OUT_DIR/launcher/files/<path>, ready
to upload as static files.  Each manifest line is
"<sha256 hex> <size in bytes> <path>\\n", sorted by the UTF-8 bytes of the path.
With --sign the manifest ends in "#serial <N>\\n#signature <base64>\\n": N is
the signing time in seconds since 1970 (UTC), or the previous publication's
serial plus 1 when that is higher, and at least --min-serial N (the lowest
serial of the launcher that ships), and the signature is an ECDSA P-256
signature (r then s, 32 bytes each) over the SHA-256 of every byte before its
line, made with the private key in KEY.pem.  A keyed launcher never acts on a
manifest of a lower serial than one it has acted on.  --new-key writes such a
key pair to DIR/manifest-key.pem (the private key, for its owner only) and
DIR/manifest-key.pub.pem (the public key the launcher is built with).

With --previous, files unchanged since that publication, and intact in it,
are hard-linked from it instead of copied (OLD_OUT_DIR may be OUT_DIR itself),
and what a player on the previous version will download is printed.

Nothing is written when any file could not be installed by the launcher on
Windows, also for a player with a long profile folder name; every such path is
named on stderr and the exit status is 1.
"""

import argparse
import base64
import contextlib
import hashlib
import os
import re
import shutil
import stat
import sys
import tempfile
import time

BLOCK_SIZE = 1 << 20
TEMP_SUFFIX = ".download"  # the launcher downloads into "<path>.download"

# Bytes Windows refuses in a file name (controls also cover "\n" and "\r",
# which would break a manifest line).
_WINDOWS_FORBIDDEN = frozenset(b'<>"|?*\x7f') | frozenset(range(32))
# Compared in ASCII lower case, as the launcher does: Windows takes these as
# devices whatever follows the first dot.
_WINDOWS_DEVICES = frozenset(
    [b"con", b"prn", b"aux", b"nul", b"conin$", b"conout$"]
    + [name + digit for name in (b"com", b"lpt")
       for digit in [b"%d" % i for i in range(10)]
       + ["\u00b9".encode(), "\u00b2".encode(), "\u00b3".encode()]])
# Files the launcher keeps beside the game in its install folder, and the folder
# where it keeps aside a player's files that stood in the way of a new layout.
_LAUNCHER_OWN = frozenset([b"launcher.cache", b"launcher.serial", b"tolmekbrannlauncher.exe.old",
                           b"launcher.kept"])

# The launcher builds plain paths (no "\\?\\" prefix), so on Windows every file it
# writes, "<path>.download" included, must stay under MAX_PATH (260 UTF-16 units,
# the closing NUL counted) and every folder it creates under 248.  Paths that
# fit below this install folder, that of a player whose profile folder name is 64
# characters long, fit for nearly every player; the launcher itself puts no limit
# on length and fails a file that Windows refuses.
LONGEST_INSTALL_FOLDER = "C:\\Users\\" + "u" * 64 + "\\AppData\\Local\\TolmekBrann"
MAX_PATH = 260
MAX_FOLDER_PATH = 248

SERIAL_PREFIX = b"#serial"
LARGEST_SERIAL = 2 ** 63 - 1


class Refused(Exception):
    """The game folder can't be published; problems is a list of (path, reason)."""

    def __init__(self, problems):
        super().__init__("%d problem(s)" % len(problems))
        self.problems = problems


def _raw(path):
    """The path's bytes: bytes as given, str as os.fsencode would give them."""
    if isinstance(path, bytes):
        return path
    try:
        return path.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        # Lone surrogates not from a file name: kept, so they count as invalid.
        return path.encode("utf-8", "surrogatepass")


def _launcher_problems(raw):
    """Reasons the launcher refuses the path (bytes); empty if it accepts it."""
    reasons = []
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        reasons.append("name is not valid UTF-8")
    if raw.startswith((b"/", b"\\")):
        reasons.append("starts with a separator (absolute)")
    if b":" in raw:
        reasons.append("contains ':' (a drive or a stream)")
    if any(byte in _WINDOWS_FORBIDDEN for byte in raw):
        reasons.append("contains a control character or one of <>\"|?*")
    parts = re.split(rb"[/\\]", raw)
    if any(part in (b"", b".", b"..") for part in parts):
        reasons.append("has an empty, '.' or '..' part")
    if any(part.endswith((b" ", b".")) and part not in (b".", b"..")
           for part in parts):
        reasons.append("a part ends in a blank or a dot, which Windows strips")
    # "con.txt" and "NUL .log" are devices too: Windows ignores what follows.
    if any(part.split(b".")[0].rstrip(b" ").lower() in _WINDOWS_DEVICES
           for part in parts):
        reasons.append("a part is a reserved Windows device name")
    if parts[-1].lower().endswith(TEMP_SUFFIX.encode()):
        reasons.append("ends in %s, the launcher's temporary-file suffix"
                       % TEMP_SUFFIX)
    # As a first part too: the launcher's file would stand where a folder must be.
    if parts[0].lower() in _LAUNCHER_OWN:
        reasons.append("names a file or folder the launcher keeps in the install folder")
    return reasons


def launcher_rejects(path):
    """The launcher's own test for an unsafe manifest path (str or bytes)."""
    return bool(_launcher_problems(_raw(path)))


def _utf16_length(text):
    """Length in UTF-16 code units, as Windows counts a path."""
    return len(text.encode("utf-16-le")) // 2


def _length_problems(raw):
    """Reasons the path is too long for a player with the longest install folder."""
    local = LONGEST_INSTALL_FOLDER + "\\" + raw.decode("utf-8", "replace").replace("/", "\\")
    shown = LONGEST_INSTALL_FOLDER.replace("u" * 64, "<64 characters>") + "\\"
    reasons = []
    whole = _utf16_length(local + TEMP_SUFFIX)
    if whole >= MAX_PATH:
        reasons.append("too long for a player whose profile folder name is 64 characters: "
                       "%s + the path + %s is %d characters and must stay under %d"
                       % (shown, TEMP_SUFFIX, whole, MAX_PATH))
    folder = _utf16_length(local[:local.rfind("\\")])
    if folder >= MAX_FOLDER_PATH:
        reasons.append("folder too long for a player whose profile folder name is 64 characters: "
                       "%s + the path's folder is %d characters and must stay under %d"
                       % (shown, folder, MAX_FOLDER_PATH))
    return reasons


def path_problems(path):
    """Reasons a relative "/"-separated path can't be published (empty if fine).

    path is bytes, or str decoded with surrogateescape as os.scandir gives it."""
    raw = _raw(path)
    reasons = _launcher_problems(raw)
    if b"\\" in raw:
        reasons.append("contains '\\', a separator on Windows")
    return reasons + _length_problems(raw)


def _scan(game_dir):
    """Regular files under game_dir as "/"-separated paths, plus problems."""
    files, problems = [], []
    pending = [("", game_dir)]
    while pending:
        prefix, folder = pending.pop()
        try:
            with os.scandir(folder) as it:
                entries = list(it)
        except OSError as e:
            problems.append((prefix.rstrip("/") or ".", "can't list: %s" % e.strerror))
            continue
        for entry in entries:
            rel = prefix + entry.name
            try:
                if entry.is_symlink():
                    problems.append((rel, "is a symbolic link"))
                elif entry.is_dir(follow_symlinks=False):
                    pending.append((rel + "/", entry.path))
                elif entry.is_file(follow_symlinks=False):
                    files.append(rel)
                else:
                    problems.append((rel, "is not a regular file"))
            except OSError as e:
                problems.append((rel, "can't inspect: %s" % e.strerror))
    return files, problems


def _case_clashes(paths):
    """Paths (or folders on them) that would be one name on Windows."""
    seen = {}
    for path in paths:
        parts = path.split("/")
        for n in range(1, len(parts) + 1):
            prefix = "/".join(parts[:n])
            seen.setdefault(prefix.casefold(), set()).add(prefix)
    problems = []
    for names in seen.values():
        if len(names) > 1:
            for name in names:
                others = ", ".join(_show(o) for o in sorted(names - {name}))
                problems.append((name, "differs only in letter case from " + others))
    return problems


def _sort_key(path):
    return path.encode("utf-8", "surrogateescape")


def checked_paths(game_dir):
    """All publishable file paths of game_dir in manifest order; raises Refused."""
    if not os.path.isdir(game_dir):
        raise Refused([(game_dir, "is not a folder")])
    files, problems = _scan(game_dir)
    for path in files:
        problems.extend((path, reason) for reason in path_problems(path))
    problems.extend(_case_clashes(files))
    if problems:
        raise Refused(sorted(problems, key=lambda p: (_sort_key(p[0]), p[1])))
    return sorted(files, key=_sort_key)


def _digest(src, dst=None, progress=None):
    """SHA-256 and size of src, streamed; also copies it to dst when given and
    calls progress with the length of every block.

    Hashing the very bytes that are copied keeps manifest and files in step
    even if the source changes during the run."""
    digest, size = hashlib.sha256(), 0
    with open(src, "rb") as inp, \
            (open(dst, "xb") if dst else contextlib.nullcontext()) as out:
        while True:
            block = inp.read(BLOCK_SIZE)
            if not block:
                break
            digest.update(block)
            size += len(block)
            if progress:
                progress(len(block))
            if out:
                out.write(block)
    return digest.hexdigest(), size


def _source(game_dir, rel):
    return os.path.join(game_dir, *rel.split("/"))


def build_manifest(game_dir):
    """[(sha256, size, path)] for game_dir in manifest order; raises Refused."""
    entries = []
    for rel in checked_paths(game_dir):
        entries.append(_digest(_source(game_dir, rel)) + (rel,))
    return entries


def manifest_text(entries):
    """The manifest file's bytes."""
    return b"".join(("%s %d %s\n" % entry).encode("utf-8") for entry in entries)


def _check_apart(game_dir, out_dir):
    game = os.path.realpath(game_dir)
    target = os.path.realpath(os.path.join(out_dir, "launcher"))
    # Publishing into the game folder would publish the output next time;
    # a game folder inside the output would be deleted when it is replaced.
    if os.path.commonpath([game, target]) in (game, target):
        raise Refused([(out_dir, "output overlaps the game folder %s" % _show(game_dir))])


def read_manifest(out_dir):
    """{path: (sha256, size)} of the manifest published in out_dir; raises Refused."""
    path = os.path.join(out_dir, "launcher", "manifest.txt")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Refused([(path, "can't read the previous manifest: %s" % e.strerror)])
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    entries = {}
    for number, line in enumerate(data.split(b"\n"), 1):
        line = line[:-1] if line.endswith(b"\r") else line
        if not line or line.startswith(b"#"):
            continue
        fields = line.split(b" ", 2)
        if (len(fields) != 3 or not re.fullmatch(rb"[0-9a-fA-F]{64}", fields[0])
                or not fields[1].isdigit()):
            raise Refused([(path, "line %d is not \"<sha256> <size> <path>\"" % number)])
        entries[fields[2].decode("utf-8", "surrogateescape")] = (
            fields[0].decode().lower(), int(fields[1]))
    return entries


def _reuse(old_file, dst, digest, progress):
    """Hard-link old_file to dst if it is a regular file of that (sha256, size)."""
    try:
        st = os.lstat(old_file)
        if not stat.S_ISREG(st.st_mode) or st.st_size != digest[1]:
            return False
        os.link(old_file, dst)
    except OSError:
        return False  # missing, or another file system: copied instead
    # The linked file itself is hashed: one damaged since it was published
    # (a bad copy, a disk fault) must not go out again under the right digest.
    try:
        if _digest(dst, progress=progress) == digest:
            return True
    except OSError:
        pass
    os.remove(dst)
    return False


def _publish_file(src, dst, before, old_file, progress):
    """(sha256, size) of src written to dst, linked from old_file when unchanged.

    before is the previous manifest's (sha256, size) for it, or None; progress
    is called with the bytes done."""
    # A size that differs spares hashing twice: the copy hashes it anyway.
    if before and os.path.getsize(src) == before[1]:
        # Read twice (hashed, then linked and hashed, or copied): each read is half.
        half = lambda n: progress(n / 2)  # noqa: E731
        digest = _digest(src, progress=half)
        if digest == before and _reuse(old_file, dst, digest, half):
            return digest
        return _digest(src, dst, half)
    return _digest(src, dst, progress)


def changes(old, entries):
    """Paths added, changed and no longer listed since the old {path: (sha256, size)}."""
    new = {rel: (digest, size) for digest, size, rel in entries}
    added = [rel for rel in new if rel not in old]
    changed = [rel for rel in new if rel in old and old[rel] != new[rel]]
    removed = sorted((rel for rel in old if rel not in new), key=_sort_key)
    return added, changed, removed


def manifest_serial(data):
    """N of the manifest's one "#serial N" line, 0 when it has none; raises ValueError
    when it has more than one, or one the launcher would not read."""
    lines = [line[:-1] if line.endswith(b"\r") else line
             for line in data.split(b"\n") if line.startswith(SERIAL_PREFIX)]
    if not lines:
        return 0
    if len(lines) > 1:
        raise ValueError("more than one %s line" % SERIAL_PREFIX.decode())
    number = lines[0][len(SERIAL_PREFIX):]
    if not re.fullmatch(rb" [1-9][0-9]*", number) or int(number) > LARGEST_SERIAL:
        raise ValueError("%r is not \"%s N\" with N from 1 to 2^63-1"
                         % (lines[0], SERIAL_PREFIX.decode()))
    return int(number)


def next_serial(previous_dir):
    """The serial of a manifest signed now: the time in seconds since 1970 (UTC),
    or the previous publication's serial plus 1 when that is higher; raises Refused."""
    previous = 0
    if previous_dir is not None:
        path = os.path.join(previous_dir, "launcher", "manifest.txt")
        try:
            with open(path, "rb") as f:
                previous = manifest_serial(f.read())
        except OSError as e:
            raise Refused([(path, "can't read the previous manifest: %s" % e.strerror)])
        except ValueError as e:
            raise Refused([(path, str(e))])
    serial = max(int(time.time()), previous + 1)
    if serial > LARGEST_SERIAL:
        raise Refused([(previous_dir, "the previous serial is the largest there can be")])
    return serial


def serial_argument(text):
    """An option's serial: 1 to 2^63-1 in decimal, as the launcher reads one."""
    if not re.fullmatch(r"[1-9][0-9]*", text) or int(text) > LARGEST_SERIAL:
        raise argparse.ArgumentTypeError("%r is not a serial from 1 to 2^63-1" % text)
    return int(text)


def publish(game_dir, out_dir, previous_dir=None, signing_key=None, serial=None):
    """Write OUT_DIR/launcher/{manifest.txt,files/}, replacing an older one;
    signed with signing_key (from load_signing_key) when given, under serial
    (by default next_serial(previous_dir)).

    With previous_dir, its files that are unchanged are hard-linked instead of
    copied.  Returns the manifest entries; raises Refused before writing anything."""
    _check_apart(game_dir, out_dir)
    listed = {}
    if previous_dir is not None:
        _check_apart(game_dir, previous_dir)
        listed = read_manifest(previous_dir)
    if signing_key is not None and serial is None:
        serial = next_serial(previous_dir)
    paths = checked_paths(game_dir)
    progress = Progress("make_manifest", "hashed and copied", len(paths),
                        sum(os.path.getsize(_source(game_dir, rel)) for rel in paths))
    made_out_dir = not os.path.isdir(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    # Build beside the target so the final step is a rename, not a copy.
    staging = tempfile.mkdtemp(prefix=".launcher-", dir=out_dir)
    # mkdtemp makes it its owner's alone, and uploads keep that: a web server could read nothing.
    os.chmod(staging, 0o777 & ~_umask())
    target = os.path.join(out_dir, "launcher")
    old = None
    try:
        files = os.path.join(staging, "files")
        os.mkdir(files)
        entries = []
        for rel in paths:
            dst = os.path.join(files, *rel.split("/"))
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            old_file = previous_dir and os.path.join(previous_dir, "launcher", "files",
                                                     *rel.split("/"))
            entries.append(_publish_file(_source(game_dir, rel), dst, listed.get(rel), old_file,
                                         progress.add_bytes) + (rel,))
            progress.add_file()
        progress.end()
        # Last, so that the manifest never names a file not yet in place.
        text = manifest_text(entries)
        if signing_key is not None:
            text += b"%s %d\n" % (SERIAL_PREFIX, serial)
            text += signature_line(text, signing_key)
        with open(os.path.join(staging, "manifest.txt"), "wb") as f:
            f.write(text)
        if os.path.lexists(target):
            old = staging + "-old"
            os.rename(target, old)
        os.rename(staging, target)
    except BaseException:
        progress.end()
        if old and not os.path.lexists(target):
            os.rename(old, target)
        shutil.rmtree(staging, ignore_errors=True)
        if made_out_dir:
            with contextlib.suppress(OSError):
                os.rmdir(out_dir)
        raise
    if old:
        if os.path.isdir(old) and not os.path.islink(old):
            shutil.rmtree(old)
        else:
            os.remove(old)
    return entries


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


class Progress:
    """Files and bytes done of the total on one stderr line that rewrites itself
    and is gone at the end; nothing at all when stderr is not a terminal."""

    def __init__(self, tool, what, files, size=None):
        self.tool, self.what, self.files, self.size = tool, what, files, size
        self.files_done, self.bytes_done, self.shown = 0, 0, 0.0
        self.on = sys.stderr.isatty()

    def add_bytes(self, n):
        self.bytes_done += n
        self._show()

    def add_file(self):
        self.files_done += 1
        self._show()

    def _show(self):
        now = time.monotonic()
        if not self.on or (now - self.shown < 0.1 and self.files_done < self.files):
            return
        self.shown = now
        line = "%s of %s files" % (format(self.files_done, ","), format(self.files, ","))
        if self.size is not None:
            line += ", %s of %s" % (human_size(int(self.bytes_done)), human_size(self.size))
        sys.stderr.write("\r%s: %s %s\033[K" % (self.tool, line, self.what))
        sys.stderr.flush()

    def end(self):
        if self.on and self.shown:
            self.shown = 0.0
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def human_size(n):
    if n < 1024:
        return "1 byte" if n == 1 else "%d bytes" % n
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        n /= 1024
        if n < 1024 or unit == "TiB":
            return "%.2f %s" % (n, unit)


PRIVATE_KEY_NAME = "manifest-key.pem"
PUBLIC_KEY_NAME = "manifest-key.pub.pem"


def load_signing_key(path):
    """The ECDSA P-256 private key in the PEM file at path; raises Refused."""
    # Imported here: publishing without a signature needs no cryptography.
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    try:
        with open(path, "rb") as f:
            key = serialization.load_pem_private_key(f.read(), password=None)
    except OSError as e:
        raise Refused([(path, "can't read: %s" % e.strerror)])
    except (ValueError, TypeError):
        key = None
    if not (isinstance(key, ec.EllipticCurvePrivateKey) and isinstance(key.curve, ec.SECP256R1)):
        raise Refused([(path, "is not an unencrypted ECDSA P-256 private key in PEM form")])
    return key


def signature_line(text, key):
    """The last line of a signed manifest whose bytes before it are text."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, utils
    r, s = utils.decode_dss_signature(key.sign(text, ec.ECDSA(hashes.SHA256())))
    return b"#signature " + base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")) + b"\n"


def new_key(folder):
    """Write a new key pair into folder, never over an existing key; raises Refused, OSError."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    private_path = os.path.join(folder, PRIVATE_KEY_NAME)
    public_path = os.path.join(folder, PUBLIC_KEY_NAME)
    taken = [p for p in (private_path, public_path) if os.path.lexists(p)]
    if taken:
        raise Refused([(p, "exists; a key is never replaced") for p in taken])
    key = ec.generate_private_key(ec.SECP256R1())
    os.makedirs(folder, mode=0o700, exist_ok=True)
    # Created with owner-only permissions, so the key is never readable by others, not even briefly.
    descriptor = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(public_path, "xb") as f:
        f.write(key.public_key().public_bytes(serialization.Encoding.PEM,
                                              serialization.PublicFormat.SubjectPublicKeyInfo))
    return private_path, public_path


GAME_EXECUTABLE = "brann.exe"  # compared in lower case, as Windows finds it


def game_warnings(entries):
    """A warning when the launcher would have no game to start."""
    if any(rel.lower() == GAME_EXECUTABLE for _, _, rel in entries):
        return []
    return ["the game folder has no Brann.exe at its top: players can update but never start "
            "the game"]


# Wine before 9.1 (Proton before 9.0) keeps a response's length in 32 bits and
# ends the body there, so the launcher under it fails such a file every time.
OLD_WINE_SIZE_LIMIT = 1 << 31


def old_wine_warnings(entries):
    """A warning for each listed file that some players cannot download."""
    return ["%s is %d bytes: players running the launcher under Wine before 9.1 or "
            "Proton before 9.0 cannot download a file of 2 GiB or more, so you may "
            "want to split it" % (_show(rel), size)
            for _, size, rel in entries if size >= OLD_WINE_SIZE_LIMIT]


def _show(path):
    # Quote names with newlines, undecodable bytes or edge blanks so each
    # stays readable on one stderr line.
    if path.isprintable() and path == path.strip():
        return path
    return ascii(path)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="make_manifest.py",
        description="Write OUT_DIR/launcher/manifest.txt and OUT_DIR/launcher/files/ "
                    "from the files of GAME_DIR.")
    parser.add_argument("game_dir", metavar="GAME_DIR", nargs="?")
    parser.add_argument("out_dir", metavar="OUT_DIR", nargs="?")
    parser.add_argument("--previous", metavar="OLD_OUT_DIR",
                        help="the previous publication: link its unchanged files and "
                             "report what players will download")
    parser.add_argument("--sign", metavar="KEY.pem",
                        help="sign the manifest with this ECDSA P-256 private key")
    parser.add_argument("--min-serial", metavar="N", type=serial_argument,
                        help="with --sign, a serial of at least N (the lowest the launcher "
                             "accepts, as scripts/release prints it)")
    parser.add_argument("--new-key", metavar="DIR",
                        help="only write a new key pair for --sign into DIR")
    args = parser.parse_args(argv)
    if args.new_key is not None:
        if (args.game_dir, args.sign, args.previous, args.min_serial) != (None,) * 4:
            parser.error("--new-key takes no other argument")
        return _main_new_key(args.new_key)
    if args.out_dir is None:
        parser.error("GAME_DIR and OUT_DIR are required")
    if args.min_serial is not None and args.sign is None:
        parser.error("--min-serial needs --sign")
    try:
        old = read_manifest(args.previous) if args.previous is not None else None
        signing_key = load_signing_key(args.sign) if args.sign is not None else None
        serial = None
        if signing_key is not None:
            serial = max(next_serial(args.previous), args.min_serial or 0)
        entries = publish(args.game_dir, args.out_dir, args.previous, signing_key, serial)
    except Refused as e:
        for path, reason in e.problems:
            print("make_manifest: %s: %s" % (_show(path), reason), file=sys.stderr)
        print("make_manifest: nothing written", file=sys.stderr)
        return 1
    except OSError as e:
        print("make_manifest: %s" % e, file=sys.stderr)
        print("make_manifest: nothing written", file=sys.stderr)
        return 1
    total = sum(size for _, size, _ in entries)
    print("make_manifest: %d file(s), %d bytes -> %s%s"
          % (len(entries), total, os.path.join(args.out_dir, "launcher"),
             ", signed" if signing_key is not None else ""))
    if signing_key is not None and args.previous is None:
        # No publication vouches for it: a second machine or a clock that ran ahead can lie below
        # what players hold, and they would refuse it.
        print("make_manifest: serial %d comes from %s; before uploading, compare it with the live one: "
              "python3 tools/check_site.py --public-key KEY --root %s URL"
              % (serial, "--min-serial" if serial == args.min_serial else "this machine's clock",
                 os.path.join(args.out_dir, "launcher", "")))
    for warning in game_warnings(entries) + old_wine_warnings(entries):
        print("make_manifest: warning: %s" % warning, file=sys.stderr)
    if old is not None:
        added, changed, removed = changes(old, entries)
        sizes = {rel: size for _, size, rel in entries}
        for label, paths in (("added", added), ("changed", changed)):
            for rel in paths:
                print("  %s: %s (%d bytes)" % (label, _show(rel), sizes[rel]))
        for rel in removed:
            print("  no longer listed: %s" % _show(rel))
        print("make_manifest: since the previous publication %d added, %d changed, "
              "%d no longer listed; a player on it downloads %d bytes"
              % (len(added), len(changed), len(removed),
                 sum(sizes[rel] for rel in added + changed)))
    return 0


def _main_new_key(folder):
    try:
        private_path, public_path = new_key(folder)
    except Refused as e:
        for path, reason in e.problems:
            print("make_manifest: %s: %s" % (_show(path), reason), file=sys.stderr)
        return 1
    except OSError as e:
        print("make_manifest: %s" % e, file=sys.stderr)
        return 1
    print("make_manifest: private key %s (keep it off the update server), public key %s"
          % (private_path, public_path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
