import contextlib
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)

import make_manifest  # noqa: E402

SHA_EMPTY = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
SHA_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
NO_GAME = ("make_manifest: warning: the game folder has no Brann.exe at its top: players can "
           "update but never start the game\n")


class Folder(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.root = tmp.name
        self.game = os.path.join(self.root, "game")
        self.out = os.path.join(self.root, "out")
        os.mkdir(self.game)

    def put(self, rel, data=b""):
        path = os.path.join(self.game, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run_main(self, *args):
        err, out = io.StringIO(), io.StringIO()
        with contextlib.redirect_stderr(err), contextlib.redirect_stdout(out):
            status = make_manifest.main(list(args) or [self.game, self.out])
        self.printed = out.getvalue()
        return status, err.getvalue()

    def manifest(self):
        with open(os.path.join(self.out, "launcher", "manifest.txt"), "rb") as f:
            return f.read()


class Publishing(Folder):
    def test_exact_bytes_with_nesting_space_and_accent(self):
        self.put("Été 1.dat", b"")
        self.put("data/levels/one.bin", b"abc")
        self.assertEqual(self.run_main(), (0, NO_GAME))
        # "É" is 0xC3 0x89 in UTF-8, so it sorts after "d".
        self.assertEqual(self.manifest(), (
            SHA_ABC + " 3 data/levels/one.bin\n"
            + SHA_EMPTY + " 0 Été 1.dat\n").encode("utf-8"))
        with open(os.path.join(self.out, "launcher", "files", "data", "levels",
                               "one.bin"), "rb") as f:
            self.assertEqual(f.read(), b"abc")
        self.assertTrue(os.path.isfile(
            os.path.join(self.out, "launcher", "files", "Été 1.dat")))
        # As readable to a web server as any folder made here, once uploaded as it is.
        self.assertEqual(os.stat(os.path.join(self.out, "launcher")).st_mode, os.stat(self.out).st_mode)

    def test_paths_sorted_by_utf8_bytes(self):
        # "-" < "." < "/" < "0" < "Z" < "a" < "é" < "ｚ" (U+FF5A) < "😀";
        # a walk order or UTF-16 order would differ.
        names = ["😀", "ｚ", "é", "a", "Z", "a0", "a/b", "a.b", "a-b"]
        for name in names:
            self.put(name if name != "a" else "a/a")
        paths = [p for _, _, p in make_manifest.build_manifest(self.game)]
        self.assertEqual(paths, ["Z", "a-b", "a.b", "a/a", "a/b", "a0",
                                 "é", "ｚ", "😀"])

    def test_large_files_hashed_across_blocks(self):
        block = make_manifest.BLOCK_SIZE
        for name, size in (("exact", 2 * block), ("over", block + 1)):
            data = bytes(range(251)) * (size // 251) + b"x" * (size % 251)
            self.put(name, data)
        self.assertEqual(self.run_main()[0], 0)
        for line in self.manifest().decode().splitlines():
            digest, size, rel = line.split(" ", 2)
            with open(os.path.join(self.out, "launcher", "files", rel), "rb") as f:
                copy = f.read()
            self.assertEqual((digest, int(size)),
                             (hashlib.sha256(copy).hexdigest(), len(copy)))
            self.assertEqual(len(copy), {"exact": 2 * block, "over": block + 1}[rel])

    def test_a_big_file_or_no_game_executable_draws_a_warning_and_is_still_published(self):
        for name, size in (("big.pak", 1 << 31), ("just under.pak", (1 << 31) - 1)):
            with open(self.put(name), "r+b") as f:
                f.truncate(size)  # sparse: no 4 GiB on disk
        # Sized from the files themselves, without hashing and copying 4 GiB of zeros.
        def sized(src, dst=None, progress=None):
            return SHA_EMPTY, os.path.getsize(src)
        with mock.patch.object(make_manifest, "_digest", sized):
            status, err = self.run_main()
        self.assertEqual(status, 0, err)
        self.assertEqual(self.manifest(), ("%s 2147483648 big.pak\n%s 2147483647 just under.pak\n"
                                           % (SHA_EMPTY, SHA_EMPTY)).encode())
        self.assertEqual(err.splitlines(), [
            NO_GAME.rstrip("\n"),
            "make_manifest: warning: big.pak is 2147483648 bytes: players running the launcher "
            "under Wine before 9.1 or Proton before 9.0 cannot download a file of 2 GiB or more, "
            "so you may want to split it"])

    def test_empty_game_dir(self):
        self.assertEqual(self.run_main()[0], 0)
        self.assertEqual(self.manifest(), b"")
        self.assertEqual(os.listdir(os.path.join(self.out, "launcher", "files")), [])

    def test_republish_replaces_old_output(self):
        old = self.put("old.txt", b"abc")
        self.assertEqual(self.run_main()[0], 0)
        os.remove(old)
        self.put("new.txt")
        self.assertEqual(self.run_main()[0], 0)
        self.assertEqual(self.manifest(), ("%s 0 new.txt\n" % SHA_EMPTY).encode())
        self.assertEqual(os.listdir(os.path.join(self.out, "launcher", "files")),
                         ["new.txt"])
        self.assertEqual(os.listdir(self.out), ["launcher"])

    def test_command_line(self):
        self.put("a.txt", b"abc")
        script = os.path.join(TOOLS, "make_manifest.py")
        ok = subprocess.run([sys.executable, script, self.game, self.out],
                            capture_output=True)
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertEqual(self.manifest(), ("%s 3 a.txt\n" % SHA_ABC).encode())
        self.put("b.download")
        bad = subprocess.run([sys.executable, script, self.game,
                              os.path.join(self.root, "out2")], capture_output=True)
        self.assertEqual(bad.returncode, 1)
        self.assertIn(b"b.download", bad.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.root, "out2")))


class Refusals(Folder):
    def assertRefused(self, *offenders):
        status, err = self.run_main()
        self.assertEqual(status, 1, err)
        for name in offenders:
            self.assertIn(name, err)
        self.assertFalse(os.path.exists(self.out), "wrote output despite refusing")
        return err

    def test_each_bad_name(self):
        cases = {
            "back\\slash": "back\\slash",
            "c:stream": "c:stream",
            "line\nbreak": ascii("line\nbreak"),
            "cr\r": ascii("cr\r"),
            "trailing ": ascii("trailing "),
            "dir./f": "dir./f",
            "trailing.": "trailing.",
            "game.exe.download": "game.exe.download",
            "GAME.EXE.Download": "GAME.EXE.Download",
            "sub/con.txt": "sub/con.txt",
            "Aux .log": "Aux .log",
            "what?": "what?",
        }
        for name, shown in cases.items():
            with self.subTest(name=name):
                self.setUp()
                self.put("fine.txt")
                self.put(name)
                self.assertRefused(shown)

    def test_undecodable_name(self):
        self.put("fine.txt")
        open(os.path.join(os.fsencode(self.game), b"bad\xff"), "wb").close()
        self.assertIn("UTF-8", self.assertRefused("bad\\udcff"))

    def test_case_clashes_name_both(self):
        for name in ["Readme.txt", "README.TXT", "other.txt", "Data/a", "data/b"]:
            self.put(name)
        err = self.assertRefused("Readme.txt", "README.TXT", "Data:", "data:")
        self.assertNotIn("other.txt", err)

    def test_links_and_special_files(self):
        self.put("target.txt")
        os.mkdir(os.path.join(self.game, "realdir"))
        os.symlink("target.txt", os.path.join(self.game, "file_link"))
        os.symlink("realdir", os.path.join(self.game, "dir_link"))
        os.symlink("missing", os.path.join(self.game, "dangling"))
        os.mkfifo(os.path.join(self.game, "pipe"))
        err = self.assertRefused("file_link", "dir_link", "dangling", "pipe")
        self.assertNotIn("target.txt", err)

    def test_every_problem_reported_at_once(self):
        self.put("a.download")
        self.put("b:c")
        self.put("x/y ")
        self.assertRefused("a.download", "b:c", ascii("x/y "))

    def test_paths_too_long_for_a_64_character_profile_name_are_refused_at_one_over(self):
        folder = make_manifest.LONGEST_INSTALL_FOLDER + "\\"
        self.assertEqual(len(folder.split("\\")[2]), 64)
        # Lengths that Windows counts in UTF-16 units, before the closing NUL.
        room = make_manifest.MAX_PATH - 1 - len(folder) - len(".download")
        folder_room = make_manifest.MAX_FOLDER_PATH - 1 - len(folder)
        def deep(n):  # a folder path of n characters, most of them separators
            return ("d/" * n)[:n - 1] + "x"

        def wide(n):  # a path of n UTF-16 units, most of them in characters of two units
            block = "\U0001F600" * 30 + "/"  # 61 units, 121 UTF-8 bytes
            whole, rest = divmod(n, 61)
            return block * whole + "\U0001F600" * (rest // 2) + "a" * (rest % 2)

        cases = [
            ("a" * room, None),
            ("a" * (room + 1), "too long"),
            ("é" * 99 + "/" + "é" * (room - 100), None),
            (wide(room), None),
            (wide(room + 1), "too long"),
            ("d" * folder_room + "/" + "f" * (room - folder_room - 1), None),
            ("d" * (folder_room + 1) + "/f", "folder too long"),
            (deep(folder_room) + "/f", None),
            (deep(folder_room + 1) + "/f", "folder too long"),
        ]
        for path, refusal in cases:
            with self.subTest(path=path):
                self.setUp()
                self.put(path, b"x")
                if refusal is None:
                    self.assertEqual(self.run_main(), (0, NO_GAME))
                    continue
                err = self.assertRefused(path)
                self.assertIn(path + ": " + refusal, err)
                limit = make_manifest.MAX_PATH if refusal == "too long" else make_manifest.MAX_FOLDER_PATH
                self.assertIn("must stay under %d" % limit, err)

    def test_output_and_game_dir_must_not_overlap(self):
        self.put("a.txt")
        for out in (self.game, os.path.join(self.game, "pub")):
            self.assertEqual(self.run_main(self.game, out)[0], 1)
        self.assertEqual(os.listdir(self.game), ["a.txt"])
        # Replacing the output would delete a game folder kept inside it.
        inner = os.path.join(self.game, "launcher", "files")
        os.makedirs(inner)
        self.assertEqual(self.run_main(inner, self.game)[0], 1)
        self.assertTrue(os.path.isdir(inner))


class Incremental(Folder):
    FIRST = {"a.txt": b"hello", "data/b.bin": b"abc", "old.txt": b"gone soon",
             "sons/Ação.ogg": b"som"}

    def setUp(self):
        super().setUp()
        for rel, data in self.FIRST.items():
            self.put(rel, data)
        self.assertEqual(self.run_main()[0], 0)
        self.inodes = {rel: os.stat(self.published(self.out, rel)).st_ino for rel in self.FIRST}

    def published(self, out, rel):
        return os.path.join(out, "launcher", "files", *rel.split("/"))

    def republish(self, same_out):
        out = self.out if same_out else os.path.join(self.root, "out2")
        stdout = io.StringIO()
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(io.StringIO()):
            status = make_manifest.main([self.game, out, "--previous", self.out])
        self.assertEqual(status, 0)
        lines = stdout.getvalue().splitlines()
        # The same manifest a publication from scratch gives.
        fresh = os.path.join(self.root, "fresh")
        make_manifest.publish(self.game, fresh)
        with open(os.path.join(out, "launcher", "manifest.txt"), "rb") as f, \
                open(os.path.join(fresh, "launcher", "manifest.txt"), "rb") as g:
            self.assertEqual(f.read(), g.read())
        shutil.rmtree(fresh)
        return out, lines[1:]

    def assertLinked(self, out, same_out, linked, copied):
        for rel in linked:
            st = os.stat(self.published(out, rel))
            self.assertEqual((st.st_ino, st.st_nlink), (self.inodes[rel], 1 if same_out else 2), rel)
        for rel in copied:
            st = os.stat(self.published(out, rel))
            self.assertNotIn(st.st_ino, self.inodes.values(), rel)
            self.assertEqual(st.st_nlink, 1, rel)

    def test_progress_on_a_terminal_counts_each_file_and_byte_once(self):
        terminal = io.StringIO()
        terminal.isatty = lambda: True
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(terminal):
            self.assertEqual(make_manifest.main([self.game, self.out, "--previous", self.out]), 0)
        # Each file unchanged, so read twice: hashed, then linked and hashed.
        *shown, last = terminal.getvalue().split("\r")
        self.assertEqual((shown[-1], last), ("make_manifest: 4 of 4 files, 20 bytes of 20 bytes "
                                             "hashed and copied\033[K", "\033[K" + NO_GAME))

    def test_unchanged_game_copies_nothing(self):
        for same_out in (False, True):
            with self.subTest(same_out=same_out):
                self.setUp()
                out, report = self.republish(same_out)
                self.assertEqual(report, [
                    "make_manifest: since the previous publication 0 added, 0 changed, "
                    "0 no longer listed; a player on it downloads 0 bytes"])
                self.assertLinked(out, same_out, self.FIRST, [])
                self.assertEqual(sorted(os.listdir(out)), ["launcher"])

    def test_only_new_and_changed_files_are_copied(self):
        for same_out, changed in ((False, b"abd"), (True, b"abd"), (False, b"abcdef")):
            with self.subTest(same_out=same_out, changed=changed):
                self.setUp()
                self.put("data/b.bin", changed)
                os.remove(os.path.join(self.game, "old.txt"))
                self.put("new.dat", b"new!")
                # Gone from the previous upload: copied again, yet nothing to download.
                os.remove(self.published(self.out, "a.txt"))
                out, report = self.republish(same_out)
                self.assertEqual(report, [
                    "  added: new.dat (4 bytes)",
                    "  changed: data/b.bin (%d bytes)" % len(changed),
                    "  no longer listed: old.txt",
                    "make_manifest: since the previous publication 1 added, 1 changed, "
                    "1 no longer listed; a player on it downloads %d bytes" % (4 + len(changed))])
                self.assertLinked(out, same_out, ["sons/Ação.ogg"], ["a.txt", "data/b.bin", "new.dat"])
                with open(self.published(out, "data/b.bin"), "rb") as f:
                    self.assertEqual(f.read(), changed)
                if not same_out:
                    with open(self.published(self.out, "data/b.bin"), "rb") as f:
                        self.assertEqual(f.read(), b"abc", "changed the previous publication")

    def test_previous_file_damaged_at_the_same_size_is_copied_again(self):
        for same_out in (False, True):
            with self.subTest(same_out=same_out):
                self.setUp()
                damaged = self.published(self.out, "data/b.bin")
                os.chmod(damaged, 0o644)
                with open(damaged, "r+b") as f:
                    f.write(b"abX")
                out, report = self.republish(same_out)
                with open(self.published(out, "data/b.bin"), "rb") as f:
                    self.assertEqual(f.read(), b"abc")
                self.assertLinked(out, same_out, ["a.txt", "sons/Ação.ogg"], ["data/b.bin"])
                self.assertEqual(report[-1],
                                 "make_manifest: since the previous publication 0 added, 0 changed, "
                                 "0 no longer listed; a player on it downloads 0 bytes")

    def test_previous_without_manifest(self):
        status, err = self.run_main(self.game, os.path.join(self.root, "out2"),
                                    "--previous", self.game)
        self.assertEqual(status, 1)
        self.assertIn("can't read the previous manifest", err)
        self.assertFalse(os.path.exists(os.path.join(self.root, "out2")))


class LauncherRule(unittest.TestCase):
    def test_unsafe_and_safe_paths(self):
        for path in ["/abs", "\\abs", "C:/x", "a:b", "a//b", "a/./b", "a/../b",
                     "..", "a\\..\\b", "a/", ""]:
            with self.subTest(path=path):
                self.assertTrue(make_manifest.launcher_rejects(path))
        for path in ["a/b/c.txt", "..a", "a..b/c", ".hidden", " lead",
                     "Été/ｚ 😀.bin", "CONSOLE", "com10", "nulled.txt"]:
            with self.subTest(path=path):
                self.assertEqual(make_manifest.path_problems(path), [])


if __name__ == "__main__":
    unittest.main()
