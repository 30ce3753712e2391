"""Runs the real launcher under Wine and looks at it from outside: Wine prefixes with a home of their
own, an Xvfb display, the window probe, screenshots. Shared by the end-to-end tests and the demo."""

import getpass
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree=;mshtml="
USER_FOLDERS = ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos", "Templates")
FINAL = "*final*"


def windows_path(path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Display:
    """A virtual X display, for a run without one."""

    def __init__(self, number=None):
        self.number = number if number is not None else self._free_number()
        self.name = f":{self.number}"
        self.process = subprocess.Popen(
            ["Xvfb", self.name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        socket = Path(f"/tmp/.X11-unix/X{self.number}")
        deadline = time.monotonic() + 10
        while not socket.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"Xvfb {self.name} did not start")
            time.sleep(0.05)

    @staticmethod
    def _free_number():
        for number in range(90, 200):
            if not Path(f"/tmp/.X{number}-lock").exists() and not Path(f"/tmp/.X11-unix/X{number}").exists():
                return number
        raise RuntimeError("no free X display number")

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def screenshot(self, png):
        subprocess.run(["import", "-display", self.name, "-window", "root", "-depth", "8", str(png)],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Prefix:
    """A fresh Wine prefix whose user folders are real folders of its own home."""

    def __init__(self, path, display):
        self.path = Path(path).resolve()
        self.home = Path(str(self.path) + ".home")
        self.log = Path(str(self.path) + ".log")
        self.env = dict(os.environ, WINEPREFIX=str(self.path), HOME=str(self.home), WINEDEBUG="-all",
                        WINEDLLOVERRIDES=DLL_OVERRIDES, DISPLAY=display)
        self.user = getpass.getuser()

    def boot(self):
        self.remove()
        for folder in USER_FOLDERS:
            (self.home / folder).mkdir(parents=True, exist_ok=True)
        self.path.mkdir(parents=True)
        # One server for all of this prefix's processes; started first so wineboot uses it.
        self._quiet(["wineserver", "-p"])
        self._quiet(["wineboot", "-i"])
        # Without a window manager Wine would wait 2 s for one whenever a window goes away.
        self.run("reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f")

    def _quiet(self, command, timeout=120):
        with open(self.log, "ab") as log:
            return subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  timeout=timeout).returncode

    def run(self, exe, *args, timeout=60):
        """Runs a Windows program to its end; output goes to the prefix's log, never a pipe."""
        return self._quiet([WINE, str(exe), *map(str, args)], timeout)

    def start(self, exe, *args):
        log = open(self.log, "ab")
        try:
            return subprocess.Popen([WINE, str(exe), *map(str, args)], env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log)
        finally:
            log.close()

    @property
    def install_dir(self):
        return self.path / "drive_c" / "users" / self.user / "AppData" / "Local" / "TolmekBrann"

    @property
    def install_dir_windows(self):
        return f"C:\\users\\{self.user}\\AppData\\Local\\TolmekBrann"

    @property
    def shortcut(self):
        return self.home / "Desktop" / "Tolmek Brann.lnk"

    def processes(self):
        """PIDs of everything still running in this prefix."""
        marker = f"WINEPREFIX={self.path}".encode()
        pids = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                if marker in (entry / "environ").read_bytes().split(b"\0"):
                    pids.append(int(entry.name))
            except OSError:
                pass
        return pids

    def stop(self):
        self._quiet(["wineserver", "-k"], timeout=30)
        time.sleep(0.3)
        for pid in self.processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def remove(self):
        if self.path.exists():
            self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        shutil.rmtree(self.home, ignore_errors=True)


def ask(prefix, exe, answer, command, *args, timeout=120):
    """Runs a helper program that writes key=value lines to the file `answer` (its second argument);
    its answer as a dict, with its exit code under "exit"."""
    answer = Path(answer)
    answer.unlink(missing_ok=True)
    code = prefix.run(exe, command, windows_path(answer), *args, timeout=timeout)
    values = {}
    if answer.exists():
        for line in answer.read_text(encoding="utf-8").splitlines():
            key, _, value = line.partition("=")
            values[key] = value
    values["exit"] = code
    return values


class Probe:
    """The window probe: each call runs probe.exe once and reads back its key=value answer."""

    def __init__(self, prefix, exe, scratch):
        self.prefix = prefix
        self.exe = exe
        self.answer = Path(scratch) / "probe-answer.txt"

    def _ask(self, command, *args, timeout=120):
        return ask(self.prefix, self.exe, self.answer, command, *args, timeout=timeout)

    def state(self, timeout_ms=10000):
        return self._ask("state", timeout_ms)

    def wait_status(self, text=FINAL, timeout_ms=60000):
        return self._ask("wait-status", text, timeout_ms)

    def click(self):
        return self._ask("click")

    def double_click(self):
        return self._ask("double-click")

    def close(self):
        return self._ask("close")

    def messagebox(self, timeout_ms=10000, dismiss=False):
        return self._ask("messagebox", timeout_ms, *(["--dismiss"] if dismiss else []))

    def responsiveness(self, count, interval_ms):
        """Times `count` WM_NULL round trips to the launcher's window, `interval_ms` apart."""
        return self._ask("responsiveness", count, interval_ms, timeout=60 + count * (interval_ms + 100) / 1000)

    def shortcut(self, link_windows_path):
        return self._ask("shortcut", link_windows_path)


def find_stripe(png):
    """Top-left corner of the window's red stripe in a screenshot, its width, and a pixel reader."""
    text = subprocess.run(["convert", str(png), "-depth", "8", "txt:-"], check=True, capture_output=True,
                          text=True).stdout
    pixels = {}
    for line in text.splitlines()[1:]:
        place, _, rest = line.partition(":")
        x, y = map(int, place.split(","))
        rgb = rest.split("(")[1].split(")")[0].split(",")[:3]
        pixels[(x, y)] = tuple(int(float(v)) for v in rgb)
    # The stripe is the first long run of its red: the icon in the caption holds a short one.
    red = (211, 58, 50)
    for y in range(max(y for _, y in pixels) + 1):
        x = 0
        while (x, y) in pixels:
            if pixels[(x, y)] != red:
                x += 1
                continue
            left = x
            while pixels.get((x, y)) in (red, (47, 125, 225)):
                x += 1
            if x - left >= 100:
                return left, y, x - left, pixels
    return None


class FolderWatch:
    """Records, through inotify, how files appear in one folder: "moved_to" for a rename into it,
    "created", "modified" or "closed_write" for a write in place, each with the file's name."""

    _EVENTS = {0x100: "created", 0x2: "modified", 0x8: "closed_write", 0x80: "moved_to"}
    _NONBLOCK = 0o4000

    def __init__(self, folder):
        import ctypes
        self._libc = ctypes.CDLL(None, use_errno=True)
        self._fd = self._libc.inotify_init1(self._NONBLOCK)
        mask = sum(self._EVENTS)
        if self._fd < 0 or self._libc.inotify_add_watch(self._fd, str(folder).encode(), mask) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.events = []

    def collect(self):
        import struct
        while True:
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                return self.events
            at = 0
            while at < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + length].rstrip(b"\0").decode(errors="replace")
                at += 16 + length
                for bit, kind in self._EVENTS.items():
                    if mask & bit:
                        self.events.append((kind, name))

    def close(self):
        """Stops watching; every event seen."""
        events = self.collect()
        os.close(self._fd)
        return events
