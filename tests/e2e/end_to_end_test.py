"""The launcher as a player meets it: real processes under Wine and Xvfb against the HTTPS test server.

Needs E2E_BUILD_DIR (the dev build) and E2E_SERVER_STATE (the running test server's folder)."""

import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent.parent / "tools"))
sys.path.insert(0, str(HERE.parent / "server"))

import launcher_rig as rig  # noqa: E402
import make_manifest  # noqa: E402

BUILD = Path(os.environ.get("E2E_BUILD_DIR", HERE.parent.parent / "build" / "dev")).resolve()
STATE = Path(os.environ.get("E2E_SERVER_STATE", BUILD / "test-server")).resolve()
SITE = STATE / "root"
PORT = 8443
LAUNCHER = BUILD / "TolmekBrannLauncher.exe"
PROBE = BUILD / "tests" / "e2e" / "probe.exe"
FAKE_GAME = BUILD / "tests" / "e2e" / "fake_game.exe"
TRUST_CA = BUILD / "tests" / "trust_ca.exe"
PLANTED_DLL = BUILD / "tests" / "e2e" / "planted.dll"
# The launcher built as the release is, but with the test keys "built-in" and "second" and for the
# test server; "other" is a key it does not trust.
KEYED_LAUNCHER = BUILD / "keyed-launcher" / "TolmekBrannLauncher.exe"
MANIFEST_KEYS = BUILD / "tests" / "signed-manifests"
SERVER_SCRIPTS = HERE.parent / "server"
SIGN = HERE.parent.parent / "scripts" / "sign"
SCRATCH = BUILD / "e2e"

CREDIT = "Desenvolvido por www.tolmekbrann.com.br"
UNREACHABLE = ("Nao foi possivel falar com o servidor.",
               "Verifique sua internet. Se ja tiver o jogo instalado, pode jogar mesmo assim.")


def game_files():
    return {
        "Brann.exe": FAKE_GAME.read_bytes(),
        "data/config.ini": b"[jogo]\r\nidioma=pt-BR\r\n",
        "maps/Ilha Grande/porto.map": bytes((i * 31 + 7) & 0xFF for i in range(300000)),
        "sons/A\u00e7\u00e3o 1.ogg": b"OggS" + bytes(5000),
    }


def publish(files, signing_key=None):
    game = SCRATCH / "game"
    subprocess.run(["rm", "-rf", str(game)], check=True)
    for name, data in files.items():
        (game / name).parent.mkdir(parents=True, exist_ok=True)
        (game / name).write_bytes(data)
    make_manifest.publish(str(game), str(SITE), signing_key=signing_key)


def publish_versions(versions):
    """Publishes each file set once into a folder of its own, for serve() to switch between."""
    folders = []
    for number, files in enumerate(versions):
        folder = SCRATCH / f"site-{number}"
        subprocess.run(["rm", "-rf", str(folder)], check=True)
        publish(files)
        shutil.move(str(SITE / "launcher"), str(folder / "launcher"))
        folders.append(folder)
    return folders


def serve(folder):
    """The test server answers from a published folder: hard links, so a large file is not copied."""
    subprocess.run(["rm", "-rf", str(SITE / "launcher")], check=True)
    subprocess.run(["cp", "-al", str(folder / "launcher"), str(SITE / "launcher")], check=True)


def filetime(stat):
    """The last-write FILETIME count that Wine reports for a file."""
    return stat.st_mtime_ns // 100 + 116444736000000000


def set_faults(faults):
    (STATE / f"faults-{PORT}.json").write_text(json.dumps(faults), encoding="utf-8")


def requested_paths():
    log = STATE / f"requests-{PORT}.log"
    return [line.split(" ")[1] for line in log.read_text(encoding="utf-8").splitlines()] if log.exists() else []


def clear_requests():
    (STATE / f"requests-{PORT}.log").write_text("", encoding="utf-8")


class LauncherEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        SCRATCH.mkdir(parents=True, exist_ok=True)
        cls.display = rig.Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        set_faults({})
        clear_requests()
        publish(game_files())
        self.prefix = rig.Prefix(SCRATCH / f"prefix-{self._testMethodName}", self.display.name)
        self.prefix.boot()
        self.assertEqual(self.prefix.run(TRUST_CA, rig.windows_path(STATE / "certs" / "ca.der")), 0)
        self.probe = rig.Probe(self.prefix, PROBE, SCRATCH)
        self.launchers = []

    def tearDown(self):
        for launcher in self.launchers:
            if launcher.poll() is None:
                launcher.kill()
        self.prefix.remove()
        set_faults({})

    # -- helpers --------------------------------------------------------------------------------

    def start_from_downloads(self, exe=LAUNCHER):
        downloads = self.prefix.home / "Downloads" / "TolmekBrannLauncher.exe"
        downloads.write_bytes(exe.read_bytes())
        return self.start(rig.windows_path(downloads))

    def start(self, windows_exe):
        launcher = self.prefix.start(windows_exe)
        self.launchers.append(launcher)
        return launcher

    def wait_final(self, timeout_ms=60000):
        state = self.probe.wait_status(rig.FINAL, timeout_ms)
        self.assertEqual(state["exit"], 0, state)
        return state

    def assert_exits(self, launcher, within, code=0):
        try:
            self.assertEqual(launcher.wait(within), code)
        except subprocess.TimeoutExpired:
            self.fail(f"the launcher did not end within {within} s")

    def install_file(self, name, data):
        path = self.prefix.install_dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

    def update_fully(self):
        launcher = self.start_from_downloads()
        self.assertEqual(self.wait_final()["status"], "Atualizado! Boa guerra!")
        self.probe.close()
        self.assert_exits(launcher, 10)

    def installed_launcher(self):
        return self.prefix.install_dir_windows + "\\TolmekBrannLauncher.exe"

    def run_installed(self):
        """Starts the installed copy and returns its final state once it has been closed."""
        launcher = self.start(self.installed_launcher())
        state = self.wait_final()
        self.probe.close()
        self.assert_exits(launcher, 10)
        return state

    def kill(self, launcher):
        # wine64 becomes the Windows process itself: SIGKILL is a kill with no chance to clean up.
        launcher.kill()
        launcher.wait(10)

    # -- scenarios ------------------------------------------------------------------------------

    def test_first_start_installs_updates_and_plays_then_second_start_finds_all_current(self):
        launcher = self.start_from_downloads()
        state = self.wait_final()
        self.assertEqual((state["status"], state["detail"]), ("Atualizado! Boa guerra!", CREDIT))
        self.assertEqual(state["progress"], "1000")
        self.assertEqual((state["play_enabled"], state["play_focused"]), ("1", "1"))

        installed = self.prefix.install_dir / "TolmekBrannLauncher.exe"
        self.assertEqual(installed.read_bytes(), LAUNCHER.read_bytes())
        for name, data in game_files().items():
            self.assertEqual((self.prefix.install_dir / name).read_bytes(), data, name)
        link = self.probe.shortcut(rig.windows_path(self.prefix.shortcut))
        installed_windows = self.prefix.install_dir_windows + "\\TolmekBrannLauncher.exe"
        self.assertEqual(link["target"].lower(), installed_windows.lower())
        self.assertEqual(link["workdir"].lower(), self.prefix.install_dir_windows.lower())
        self.assertEqual(link["description"], "Tolmek Brann - www.tolmekbrann.com.br")
        self.assertEqual((link["icon"].lower(), link["icon_index"]), (installed_windows.lower(), "0"))
        self.assert_window_looks_right()

        self.assertEqual(self.probe.click()["exit"], 0)
        self.assert_exits(launcher, 10)
        ran = self.wait_for_file(self.prefix.install_dir / "game-ran.txt").splitlines()
        self.assertEqual(ran[0].lower(), "cwd=" + self.prefix.install_dir_windows.lower())
        self.assertIn("brann.exe", ran[1].lower())

        # Started again from the installed copy, its path written in other letter case.
        clear_requests()
        before = installed.stat().st_mtime_ns
        launcher = self.start(installed_windows.upper())
        state = self.wait_final()
        self.assertEqual((state["status"], state["detail"]), ("Tudo atualizado. Boa guerra!", CREDIT))
        self.assertEqual(requested_paths(), ["/launcher/manifest.txt"])
        self.assertEqual(installed.stat().st_mtime_ns, before)
        self.probe.close()
        self.assert_exits(launcher, 10)

    def test_server_down_lets_only_an_installed_game_be_played_and_a_foreign_shortcut_stays(self):
        self.prefix.shortcut.write_bytes(b"the player's own shortcut")
        subprocess.run([str(SERVER_SCRIPTS / "stop_server.sh"), str(STATE), str(PORT)], check=True)
        try:
            launcher = self.start_from_downloads()
            state = self.wait_final()
            self.assertEqual((state["status"], state["detail"]), UNREACHABLE)
            self.assertEqual(state["play_enabled"], "0")
            self.probe.close()
            self.assert_exits(launcher, 10)

            self.install_file("Brann.exe", FAKE_GAME.read_bytes())
            launcher = self.start_from_downloads()
            state = self.wait_final()
            self.assertEqual((state["status"], state["detail"]), UNREACHABLE)
            self.assertEqual(state["play_enabled"], "1")
            self.probe.click()
            self.assert_exits(launcher, 10)
            self.assertTrue(self.wait_for_file(self.prefix.install_dir / "game-ran.txt"))
        finally:
            subprocess.run([str(SERVER_SCRIPTS / "start_server.sh"), str(STATE), str(PORT), str(SITE)], check=True)
        self.assertEqual(self.prefix.shortcut.read_bytes(), b"the player's own shortcut")

    def test_game_deleted_after_the_update_shows_the_error_and_the_launcher_stays(self):
        launcher = self.start_from_downloads()
        self.wait_final()
        (self.prefix.install_dir / "Brann.exe").unlink()
        for _ in range(2):  # a further click tries again
            self.probe.click()
            box = self.probe.messagebox(10000, dismiss=True)
            self.assertEqual(box["exit"], 0, box)
            self.assertEqual((box["text"], box["caption"]), ("Nao foi possivel abrir o Brann.exe.", "Tolmek Brann - Launcher"))
            self.assertIsNone(launcher.poll())
        state = self.probe.state()
        self.assertEqual((state["play_enabled"], state["play_focused"]), ("1", "1"))
        self.probe.close()
        self.assert_exits(launcher, 10)

    def test_failed_download_names_the_file_keeps_the_cache_and_the_game_unplayable(self):
        self.update_fully()
        installed = self.prefix.install_dir / "TolmekBrannLauncher.exe"
        copied = installed.stat().st_mtime_ns
        cache = (self.prefix.install_dir / "launcher.cache").read_bytes()
        files = game_files()
        files["data/config.ini"] = b"[jogo]\r\nidioma=en\r\n"
        publish(files)
        set_faults({"/launcher/files/data/config.ini": {"status": 404}})
        cut_short = installed.parent / "TolmekBrannLauncher.exe.download"  # a self-copy killed half-way
        cut_short.write_bytes(b"MZ")

        launcher = self.start_from_downloads()
        state = self.wait_final()
        self.assertEqual((state["status"], state["detail"]),
                         ("Falha ao baixar um arquivo. Tente de novo.", "data/config.ini"))
        self.assertEqual(state["play_enabled"], "0")
        self.assertEqual((self.prefix.install_dir / "launcher.cache").read_bytes(), cache)
        self.assertEqual((self.prefix.install_dir / "data/config.ini").read_bytes(), game_files()["data/config.ini"])
        self.assertEqual(installed.stat().st_mtime_ns, copied, "the same launcher is not copied again")
        self.assertFalse(cut_short.exists())
        self.probe.close()
        self.assert_exits(launcher, 10)

    def test_closing_the_window_during_a_slow_download_ends_the_process_at_once(self):
        old_map = b"old map"
        self.install_file("maps/Ilha Grande/porto.map", old_map)
        set_faults({"/launcher/files/maps/Ilha%20Grande/porto.map": {"delay_per_chunk": 0.5}})
        launcher = self.start_from_downloads()
        state = self.probe.wait_status("Baixando 3 de 4", 60000)
        self.assertEqual((state["exit"], state["detail"]), (0, "maps/Ilha Grande/porto.map"), state)
        time.sleep(0.7)  # well inside the body

        self.assertEqual(self.probe.close()["closed"], "1")
        closed = time.monotonic()  # the probe has posted WM_CLOSE by the time it returns
        self.assert_exits(launcher, 10)
        self.assertLess(time.monotonic() - closed, 2.0)
        self.assertEqual((self.prefix.install_dir / "maps/Ilha Grande/porto.map").read_bytes(), old_map)
        self.assertFalse(any("winedbg" in self.command_line(pid) for pid in self.prefix.processes()))

    def test_a_second_copy_started_while_the_installed_one_runs_answers_at_once_and_updates(self):
        self.update_fully()
        installed = self.prefix.install_dir / "TolmekBrannLauncher.exe"
        first = self.start(self.installed_launcher())
        self.assertEqual(self.wait_final()["status"], "Tudo atualizado. Boa guerra!")
        publish(dict(game_files(), **{"data/config.ini": b"[jogo]\r\nidioma=en\r\n"}))
        set_faults({"/launcher/manifest.txt": {"delay_before": 2}})  # the heading stays to be read

        # Another build, which cannot go over the running installed copy. The probe reads the newest
        # window, and only the second copy can end with "Atualizado! Boa guerra!".
        (SCRATCH / "newer.exe").write_bytes(LAUNCHER.read_bytes() + b"a newer build")
        second = self.start_from_downloads(SCRATCH / "newer.exe")
        heading = self.probe.wait_status("Procurando atualizacoes...", 2000)
        self.assertEqual(heading["exit"], 0, heading)
        self.assertEqual(self.wait_final()["status"], "Atualizado! Boa guerra!")
        self.assertEqual(installed.read_bytes(), LAUNCHER.read_bytes())
        self.assertEqual(list(self.prefix.install_dir.glob("*.download")), [])
        for launcher in (second, first):
            self.probe.close()
            self.assert_exits(launcher, 10)

    def test_double_click_starts_the_game_once(self):
        launcher = self.start_from_downloads()
        self.wait_final()
        self.assertEqual(self.probe.double_click()["clicked"], "1")
        self.assert_exits(launcher, 10)
        self.wait_for_file(self.prefix.install_dir / "game-ran.txt")
        time.sleep(2)  # a second game would have written its line by now
        ran = (self.prefix.install_dir / "game-ran.txt").read_text(encoding="utf-8")
        self.assertEqual(ran.count("cwd="), 1, ran)

    def test_launcher_listed_in_the_manifest_replaces_itself_and_only_ever_appears_by_a_rename(self):
        versions = [LAUNCHER.read_bytes() + b"version two", LAUNCHER.read_bytes() + b"version three"]
        self.prefix.install_dir.mkdir(parents=True)
        watch = rig.FolderWatch(self.prefix.install_dir)
        desktop = rig.FolderWatch(self.prefix.shortcut.parent)
        try:
            # From Downloads: the manifest's launcher, not the downloaded one, ends up installed.
            publish(dict(game_files(), **{"TolmekBrannLauncher.exe": versions[0]}))
            self.update_fully()
            installed = self.prefix.install_dir / "TolmekBrannLauncher.exe"
            self.assertEqual(installed.read_bytes(), versions[0])

            # From the installed copy: it renames its running image aside and puts the new one in place.
            publish(dict(game_files(), **{"TolmekBrannLauncher.exe": versions[1]}))
            self.assertEqual(self.run_installed()["status"], "Atualizado! Boa guerra!")
            self.assertEqual(installed.read_bytes(), versions[1])
            self.assertTrue((self.prefix.install_dir / "TolmekBrannLauncher.exe.old").exists())

            clear_requests()
            self.assertEqual(self.run_installed()["status"], "Tudo atualizado. Boa guerra!")
            self.assertEqual(requested_paths(), ["/launcher/manifest.txt"])
            self.assertFalse((self.prefix.install_dir / "TolmekBrannLauncher.exe.old").exists())
        finally:
            events = watch.close()
            shortcut = desktop.close()
        for name, seen_in in (("TolmekBrannLauncher.exe", events), ("launcher.cache", events),
                              ("Tolmek Brann.lnk", shortcut)):
            kinds = {kind for kind, seen in seen_in if seen.lower() == name.lower()}
            self.assertEqual(kinds, {"moved_to"}, f"{name}: {sorted(seen_in)}")

    def test_kills_at_any_moment_leave_old_or_new_bytes_and_the_next_start_heals(self):
        large = {"AAA grande.pak": os.urandom(160 * 1024 * 1024)}  # first in the manifest: hashed first
        def version(tag):
            files = dict(game_files(), **large)
            files["maps/Ilha Grande/porto.map"] = tag * 150000
            files.update({f"dados/{i // 50}/{i:03d}.dat": tag * (20 + i) for i in range(200)})
            return files
        versions = [version(b"v1"), version(b"v2 longer")]
        sites = publish_versions(versions)
        serve(sites[0])
        self.update_fully()
        serve(sites[1])

        def interrupted(wait_for, faults=None, pause=0.0):
            set_faults(faults or {})
            launcher = self.start(self.installed_launcher())
            state = self.probe.wait_status(wait_for, 60000)
            self.assertEqual(state["exit"], 0, state)
            time.sleep(pause)
            self.kill(launcher)
            set_faults({})
            self.assert_old_or_new(*versions)

        interrupted("Procurando atualizacoes...", {"/launcher/manifest.txt": {"delay_before": 5}}, 1.0)
        (self.prefix.install_dir / "launcher.cache").unlink()  # every file is hashed again
        interrupted("Conferindo arquivos...")
        interrupted("Baixando 201 de 201", {"/launcher/files/maps/Ilha%20Grande/porto.map": {"delay_per_chunk": 0.5}},
                    0.7)

        moments = random.Random(20261209)
        for round_number in range(20):
            serve(sites[round_number % 2])  # always something to update
            launcher = self.start(self.installed_launcher())
            time.sleep(moments.uniform(0.3, 4.0))
            self.kill(launcher)
            self.assert_old_or_new(*versions)

        self.assertIn(self.run_installed()["status"], ("Atualizado! Boa guerra!", "Tudo atualizado. Boa guerra!"))
        self.assert_installed(versions[1])

    def test_a_link_in_a_folder_that_becomes_a_file_is_kept_aside_and_never_followed(self):
        voices = {"dados/vozes/a.ogg": b"voice a", "dados/vozes/extra/b.ogg": b"voice b"}
        sites = publish_versions([dict(game_files(), **voices),
                                  dict(game_files(), **{"dados/vozes": b"all voices in one file"})])
        serve(sites[0])
        self.update_fully()
        # The player moved part of the game to another disk and left a link in its place; the cache
        # still knows the moved file by its old name.
        outside = SCRATCH / f"outside-{self._testMethodName}"
        subprocess.run(["rm", "-rf", str(outside)], check=True)
        link = self.prefix.install_dir / "dados/vozes/extra"
        shutil.move(str(link), str(outside))
        link.symlink_to(outside, target_is_directory=True)

        serve(sites[1])
        self.assertEqual(self.run_installed()["status"], "Atualizado! Boa guerra!")
        self.assertEqual((self.prefix.install_dir / "dados/vozes").read_bytes(), b"all voices in one file")
        # The link moved as itself, the launcher's own a.ogg deleted; what it points to untouched.
        kept = self.prefix.install_dir / "launcher.kept/dados/vozes"
        self.assertEqual(sorted(p.name for p in kept.iterdir()), ["extra"])
        self.assertEqual(os.readlink(kept / "extra"), str(outside))
        self.assertEqual(sorted(p.name for p in outside.iterdir()), ["b.ogg"])
        self.assertEqual((outside / "b.ogg").read_bytes(), b"voice b")

    def test_full_disk_fails_the_file_and_keeps_the_old_one_and_the_old_cache(self):
        self.prefix.install_dir.mkdir(parents=True)
        used = 2 * LAUNCHER.stat().st_size + sum(map(len, game_files().values())) + 1024 * 1024
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={used}", "tmpfs", str(self.prefix.install_dir)],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
        try:
            self.update_fully()
            cache = (self.prefix.install_dir / "launcher.cache").read_bytes()
            files = game_files()
            files["maps/Ilha Grande/porto.map"] = os.urandom(16 * 1024 * 1024)  # more than is left
            publish(files)
            state = self.run_installed()
            self.assertEqual((state["status"], state["detail"]),
                             ("Falha ao baixar um arquivo. Tente de novo.", "maps/Ilha Grande/porto.map"))
            self.assertEqual((self.prefix.install_dir / "maps/Ilha Grande/porto.map").read_bytes(),
                             game_files()["maps/Ilha Grande/porto.map"])
            self.assertEqual(list(self.prefix.install_dir.rglob("*.download")), [])
            self.assertEqual((self.prefix.install_dir / "launcher.cache").read_bytes(), cache)
        finally:
            self.prefix.stop()
            subprocess.run(["umount", "-l", str(self.prefix.install_dir)], check=False)

    def test_signed_launcher_verifies_runs_and_installs_a_copy_that_verifies(self):
        signed = SCRATCH / "signed" / "TolmekBrannLauncher.exe"
        signed.parent.mkdir(exist_ok=True)
        signed.write_bytes(LAUNCHER.read_bytes())
        certs = STATE / "certs"
        subprocess.run([SIGN, signed, certs / "codesign.pem", certs / "codesign.key"], check=True)
        self.assertEqual(self.verify_signature(signed), 0)
        self.assertNotEqual(self.verify_signature(signed, certs / "untrusted-ca.pem"), 0)
        tampered = bytearray(signed.read_bytes())
        tampered[len(tampered) // 2] ^= 0x01
        (signed.parent / "tampered.exe").write_bytes(tampered)
        self.assertNotEqual(self.verify_signature(signed.parent / "tampered.exe"), 0)

        launcher = self.start_from_downloads(signed)
        self.assertEqual(self.wait_final()["status"], "Atualizado! Boa guerra!")
        self.probe.close()
        self.assert_exits(launcher, 10)
        self.assertEqual(self.verify_signature(self.prefix.install_dir / "TolmekBrannLauncher.exe"), 0)

    def test_launcher_built_with_two_keys_updates_only_from_a_manifest_signed_with_one_of_them(self):
        refused = ("A atualizacao recebida nao e autentica.", "Se ja tiver o jogo instalado, pode jogar mesmo assim.")
        updated = ("Atualizado! Boa guerra!", CREDIT)
        first = game_files()
        second = dict(first, **{"data/config.ini": b"[jogo]\r\nidioma=pt-PT\r\n"})
        steps = [  # the key signing the published files (None: unsigned), and what the player sees
            (None, first, refused),
            ("built-in", first, updated),
            ("other", second, refused),
            ("second", second, updated),
        ]
        installed = None
        for key, files, seen in steps:
            with self.subTest(key=key):
                signing_key = key and make_manifest.load_signing_key(str(MANIFEST_KEYS / f"{key}-key" / "manifest-key.pem"))
                publish(files, signing_key)
                launcher = self.start_from_downloads(KEYED_LAUNCHER)
                state = self.wait_final()
                installed = files if seen == updated else installed
                self.assertEqual((state["status"], state["detail"], state["play_enabled"]),
                                 seen + ("0" if installed is None else "1",))
                for name, data in (installed or {"Brann.exe": None}).items():
                    path = self.prefix.install_dir / name
                    self.assertEqual(path.read_bytes() if path.exists() else None, data, name)
                self.probe.close()
                self.assert_exits(launcher, 10)

    def test_system_dll_names_planted_beside_the_launcher_are_never_loaded(self):
        downloads = self.prefix.home / "Downloads"
        for name in ("winhttp.dll", "comctl32.dll", "bcrypt.dll"):
            (downloads / name).write_bytes(PLANTED_DLL.read_bytes())
        # Native before built-in: Wine then loads a DLL of these names from wherever Windows would.
        self.prefix.env["WINEDLLOVERRIDES"] = rig.DLL_OVERRIDES + ";winhttp,comctl32,bcrypt=n,b"
        launcher = self.start_from_downloads()
        state = self.probe.wait_status(rig.FINAL, 60000)
        self.assertEqual(sorted(marker.name for marker in downloads.glob("*.loaded")), [])
        self.assertEqual((state["exit"], state.get("status")), (0, "Atualizado! Boa guerra!"), state)
        self.probe.close()
        self.assert_exits(launcher, 10)

    def test_a_system_dll_that_cannot_be_loaded_is_a_reported_failure_not_a_crash(self):
        for dll in ("winhttp", "bcrypt", "comctl32"):
            with self.subTest(dll):
                self.prefix.env["WINEDLLOVERRIDES"] = rig.DLL_OVERRIDES + f";{dll}=d"
                launcher = self.start_from_downloads()
                if dll == "comctl32":
                    box = self.probe.messagebox(10000, dismiss=True)
                    self.assertEqual((box["exit"], box.get("text")), (0, "Nao foi possivel iniciar o launcher."), box)
                    self.assert_exits(launcher, 10, code=1)
                else:
                    state = self.wait_final()
                    self.assertEqual((state["status"], state["detail"]), UNREACHABLE)
                    self.assertEqual(state["play_enabled"], "0")
                    self.probe.close()
                    self.assert_exits(launcher, 10)
                self.assertFalse(any("winedbg" in self.command_line(pid) for pid in self.prefix.processes()))

    # -- checks ---------------------------------------------------------------------------------

    def assert_old_or_new(self, old, new):
        for name, data in new.items():
            path = self.prefix.install_dir / name
            self.assertIn(path.read_bytes() if path.exists() else None, (old.get(name), data), name)

    def assert_installed(self, files):
        """Every file byte-exact, no temporary file left, and a cache that vouches only for right bytes."""
        for name, data in files.items():
            self.assertEqual((self.prefix.install_dir / name).read_bytes(), data, name)
        self.assertEqual(list(self.prefix.install_dir.rglob("*.download")), [])
        lines = (self.prefix.install_dir / "launcher.cache").read_bytes().decode("utf-8").split("\r\n")
        for key, value in zip(lines[0::2], lines[1::2]):
            size, time_count, digest = value.split("|")
            path = self.prefix.install_dir / key
            if path.is_file() and (path.stat().st_size, filetime(path.stat())) == (int(size), int(time_count)):
                self.assertEqual(hashlib.sha256(path.read_bytes()).hexdigest(), digest.lower(), key)

    def assert_window_looks_right(self):
        shot = SCRATCH / f"{self._testMethodName}.png"
        self.display.screenshot(shot)
        found = rig.find_stripe(shot)
        self.assertIsNotNone(found, "no red stripe on the screen")
        left, top, width, pixels = found
        self.assertEqual(width, 514, "the stripe spans the client width")  # 520 less the frame
        self.assertEqual(pixels[(left + 5, top + 5)], (211, 58, 50))
        self.assertEqual(pixels[(left + width // 2 + 5, top)], (47, 125, 225))
        self.assertEqual(pixels[(left + width - 1, top + 5)], (47, 125, 225))
        self.assertEqual(pixels[(left + 5, top + 6)], (16, 18, 24))
        self.assertEqual(pixels[(left + 5, top + 200)], (16, 18, 24))

    @staticmethod
    def verify_signature(exe, authority=STATE / "certs" / "ca.pem"):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(authority), "-in", str(exe)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode

    @staticmethod
    def wait_for_file(path, within=10):
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            if path.exists() and path.stat().st_size > 0:
                return path.read_text(encoding="utf-8")
            time.sleep(0.1)
        raise AssertionError(f"{path} never appeared")

    @staticmethod
    def command_line(pid):
        try:
            return Path(f"/proc/{pid}/cmdline").read_bytes().decode(errors="replace").lower()
        except OSError:
            return ""


if __name__ == "__main__":
    unittest.main(verbosity=2)
