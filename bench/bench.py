"""Runs every measurement of the launcher against its references in one go and writes
build/bench/results.md with a plot of the check time (build/bench/quick/ for --quick).
Run it through bench/run, which installs and builds what it needs."""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import bench_data  # noqa: E402
import bench_report  # noqa: E402
import launcher_rig as rig  # noqa: E402
from nginx_server import Nginx  # noqa: E402

BUILD = ROOT / "build" / "dev"
BENCH = ROOT / "build" / "bench"
HARNESS = BUILD / "bench" / "bench_harness.exe"
BARE_WINDOW = BUILD / "bench" / "bare_window.exe"
PROGRESS_WINDOW = BUILD / "bench" / "progress_window.exe"
PROBE = BUILD / "tests" / "e2e" / "probe.exe"
LAUNCHER = BUILD / "TolmekBrannLauncher.exe"
TRUST_CA = BUILD / "tests" / "trust_ca.exe"
MAKE_CERTS = ROOT / "tests" / "server" / "make_certs.py"
PORT = 8443  # the dev launcher's compiled-in update server is localhost:8443
LAUNCHER_CLASS = "TolmekBrannLauncher"
BARE_WINDOW_CLASS = "TolmekBrannBenchBareWindow"
PROGRESS_WINDOW_CLASS = "TolmekBrannBenchProgressWindow"
PING_INTERVAL_MS = 10
HARNESS_TIMEOUT_S = 1800
STARTUP_WARMUPS = 2


def millis(text):
    return [float(value) for value in text.split(",")]


def read_through(paths):
    """Reads the files once, so that a case starts with them in the page cache: this machine's cache
    is small enough that the previous case's data can push them out."""
    for path in paths:
        with open(path, "rb") as file:
            while file.read(16 * 1024 * 1024):
                pass


class Bench:
    def __init__(self, sizes, out, display):
        self.sizes = sizes
        self.out = out
        self.data = out / "data"
        self.report = bench_report.Report()
        self.prefix = rig.Prefix(out / "wineprefix", display)
        self.certs = out / "certs"
        self.nginx = Nginx(out / "nginx", PORT, self.certs)
        self.probe = rig.Probe(self.prefix, PROBE, out)
        self.download_ms = None

    # --- running things -------------------------------------------------------------------------

    def stuck(self, what, state):
        """Why a case could not reach its start: the window's last words and the server's last requests."""
        window = {key: state.get(key) for key in ("window_found", "window_count", "status", "detail", "progress")}
        return f"{what}; the window showed {window}; the server's last requests:\n  " + \
            "\n  ".join(self.nginx.last_requests())

    def harness(self, command, *args):
        self.report.command(f"wine64 {HARNESS.relative_to(ROOT)} {command} OUT " + " ".join(map(str, args)))
        answer = rig.ask(self.prefix, HARNESS, self.out / "harness-answer.txt", command, *args,
                         timeout=HARNESS_TIMEOUT_S)
        if answer["exit"] != 0:
            raise RuntimeError(f"bench_harness {command} failed: {answer}")
        return answer

    def timed(self, command, **kwargs):
        """Seconds a Linux command takes; it must succeed."""
        start = time.monotonic()
        subprocess.run(command, check=True, stdin=subprocess.DEVNULL, **kwargs)
        return time.monotonic() - start

    def prepare(self):
        print("bench: preparing the Wine prefix, the certificates and nginx", flush=True)
        subprocess.run([sys.executable, str(MAKE_CERTS), str(self.certs)], check=True, stdout=subprocess.DEVNULL)
        self.prefix.boot()
        if self.prefix.run(TRUST_CA, rig.windows_path(self.certs / "ca.der")) != 0:
            raise RuntimeError("the test authority could not be trusted in the bench prefix")
        self.nginx.serve(bench_data.site(self.data, "empty", {}))
        self.nginx.start()

    def close(self):
        self.nginx.stop()
        self.prefix.stop()

    # --- 1. check with a valid cache ------------------------------------------------------------

    def check(self):
        rounds = self.sizes["check_rounds"]
        points = []
        for count in self.sizes["check_counts"]:
            print(f"bench: check, cache valid, {count} files", flush=True)
            directory = bench_data.check_set(self.data, count, self.sizes["small_file_sizes"])
            answer = self.harness("check", rig.windows_path(directory / "install"),
                                  rig.windows_path(directory / "manifest.txt"), rounds)
            launcher, bare, posting, changes = (millis(answer[k]) for k in (
                "launcher_ms", "bare_ms", "bare_posting_ms", "bare_posting_changes_ms"))
            self.report.check(count, launcher, bare, posting, changes)
            points.append((count, statistics.median(launcher), statistics.median(bare), statistics.median(posting)))
        self.report.check_linearity(points)
        self.report.plot_check(points, self.out)

    # --- 2. hash without a cache ----------------------------------------------------------------

    def hash(self):
        print("bench: hash, no cache", flush=True)
        directory = bench_data.hash_set(self.data, self.sizes["hash_large"], self.sizes["hash_medium"])
        entries = bench_data.manifest_entries(directory / "manifest.txt")
        files = [str(directory / "install" / path) for _, _, path in entries]
        read_through(files)
        answer = self.harness("hash", rig.windows_path(directory / "install"),
                              rig.windows_path(directory / "manifest.txt"), self.sizes["hash_rounds"])
        expected = "".join(f"{digest}  {file}\n" for (digest, _, _), file in zip(entries, files))
        command = ["sha256sum", *files]
        self.report.command("sha256sum " + str((directory / "install").relative_to(ROOT)) + "/...")
        sums = []
        for _ in range(self.sizes["hash_rounds"]):
            start = time.monotonic()
            output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
            sums.append((time.monotonic() - start) * 1000)
            if output != expected:
                raise RuntimeError("sha256sum disagrees with the manifest")
        self.report.hash(int(answer["bytes"]), int(answer["files"]), millis(answer["launcher_ms"]),
                         millis(answer["bare_ms"]), millis(answer["hash_only_ms"]), sums)

    # --- 3. download ------------------------------------------------------------------------------

    def download_site(self):
        return bench_data.site(self.data, "download", bench_data.download_files(
            self.sizes["download_large"], self.sizes["download_small"]))

    def download(self):
        print("bench: download", flush=True)
        site = self.download_site()
        self.nginx.serve(site)
        entries = bench_data.manifest_entries(site / "launcher" / "manifest.txt")
        work = self.out / "download"
        curl_list = work / "curl.list"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        with open(curl_list, "w") as out:
            for _, _, path in entries:
                out.write(f'url = "https://localhost:{PORT}/launcher/files/{path}"\n')
                out.write(f'output = "{work / "curl" / path}"\n')
        curl = ["curl", "--silent", "--show-error", "--fail", "--create-dirs", "--cacert",
                str(self.certs / "ca.pem"), "--config", str(curl_list)]
        self.report.command(" ".join(curl[:-2]) + " --config LIST   # LIST: url/output pairs of every file")
        keys = ("launcher_ms", "bare_ms", "bare_hashing_ms", "bare_hashing_posting_ms", "bare_replacing_ms")
        timings = {key: [] for key in keys}
        curls = []
        for _ in range(self.sizes["download_rounds"]):
            read_through(site / "launcher" / "files" / path for _, _, path in entries)
            answer = self.harness("download", "localhost", PORT, rig.windows_path(work / "launcher"),
                                  rig.windows_path(work / "bare"), 1)
            for key in keys:
                timings[key] += millis(answer[key])
            curls.append(self.timed(curl) * 1000)
            for _, size, path in entries:
                if (work / "curl" / path).stat().st_size != size:
                    raise RuntimeError(f"curl fetched {path} short")
        self.download_ms = statistics.median(timings["launcher_ms"])
        self.report.download(int(answer["bytes"]), int(answer["files"]), *(timings[key] for key in keys), curls)
        shutil.rmtree(work, ignore_errors=True)

    # --- 4. memory, 5. responsiveness, 6. start-up: the whole launcher ------------------------------

    def install_launcher(self):
        """The launcher as installed, with nothing of the game yet."""
        shutil.rmtree(self.prefix.install_dir, ignore_errors=True)
        self.prefix.install_dir.mkdir(parents=True)
        shutil.copyfile(LAUNCHER, self.prefix.install_dir / "TolmekBrannLauncher.exe")

    def installed_launcher(self):
        return self.prefix.install_dir_windows + "\\TolmekBrannLauncher.exe"

    def start_launcher(self):
        return self.prefix.start(self.installed_launcher())

    def finish_launcher(self, process, expected_status):
        state = self.probe.wait_status(rig.FINAL, 600000)
        peak = peak_memory_kib(process.pid)
        self.probe.close()
        process.wait(60)
        if state.get("status") != expected_status:
            raise RuntimeError(self.stuck(f"the launcher did not end with {expected_status!r}", state))
        return peak

    def launcher_peak(self, expected_status):
        return self.finish_launcher(self.start_launcher(), expected_status)

    def memory(self):
        print("bench: memory of the whole launcher", flush=True)
        hash_large = bench_data.hash_set(self.data, self.sizes["hash_large"], self.sizes["hash_medium"])
        peaks = []
        for size in self.sizes["memory_sizes"]:
            content = hash_large / "install" / "grande.pak" if size == self.sizes["hash_large"] else size
            self.nginx.serve(bench_data.site(self.data, f"memory-{size}", {"grande.pak": content}))
            self.install_launcher()
            downloading = self.launcher_peak("Atualizado! Boa guerra!")
            (self.prefix.install_dir / "launcher.cache").unlink()
            hashing = self.launcher_peak("Tudo atualizado. Boa guerra!")
            peaks.append((size, downloading, hashing))
        self.nginx.serve(bench_data.site(self.data, "empty", {}))
        process = self.start_launcher()
        self.probe.wait_status(rig.FINAL, 60000)
        idle = resident_memory(process.pid)
        self.finish_launcher(process, "Tudo atualizado. Boa guerra!")
        self.report.memory(peaks, idle, self.bare_window_memory())

    def bare_window_memory(self):
        process = self.prefix.start(BARE_WINDOW)
        time.sleep(3)  # shown and idle by then
        memory = resident_memory(process.pid)
        os.kill(process.pid, signal.SIGKILL)
        process.wait(10)
        return memory

    def responsiveness(self):
        print("bench: responsiveness during a download", flush=True)
        self.nginx.serve(self.download_site())
        self.install_launcher()
        process = self.start_launcher()
        # A small download may be over before a poll sees it; the report then says so.
        deadline = time.monotonic() + 60
        state = self.probe.state()
        while not is_downloading_or_over(state.get("status", "")):
            if time.monotonic() > deadline:
                raise RuntimeError(self.stuck("the launcher never started downloading", state))
            time.sleep(0.1)
            state = self.probe.state()
        count = max(50, int(0.8 * self.download_ms / (PING_INTERVAL_MS + 1)))
        self.report.command(f"wine64 {PROBE.relative_to(ROOT)} responsiveness OUT {count} {PING_INTERVAL_MS}")
        answer = self.probe.responsiveness(count, PING_INTERVAL_MS)
        during = self.probe.state().get("status", "").startswith(DOWNLOADING)
        self.finish_launcher(process, "Atualizado! Boa guerra!")
        if answer["exit"] != 0:
            raise RuntimeError(f"the probe could not measure: {answer}")
        self.report.responsiveness(answer, count, during)

    def startup(self):
        print("bench: start-up", flush=True)
        self.nginx.serve(bench_data.site(self.data, "empty", {}))
        self.install_launcher()
        # The previous cases' writes still reach the disk at first, and slow every start while they do.
        os.sync()
        # One start of each in turn, so that whatever else loads the machine weighs on all alike; the
        # first turns only bring the programs into the page cache.
        programs = ((self.installed_launcher(), LAUNCHER_CLASS),
                    (rig.windows_path(PROGRESS_WINDOW), PROGRESS_WINDOW_CLASS),
                    (rig.windows_path(BARE_WINDOW), BARE_WINDOW_CLASS))
        starts = [[] for _ in programs]
        for _ in range(STARTUP_WARMUPS + self.sizes["startups"]):
            for (exe, window_class), times in zip(programs, starts):
                times += millis(self.harness("startup", exe, window_class, 1)["startup_ms"])
        self.report.startup(*(times[STARTUP_WARMUPS:] for times in starts), STARTUP_WARMUPS)


DOWNLOADING = "Baixando"
FINAL_STATUSES = ("Tudo atualizado. Boa guerra!", "Atualizado! Boa guerra!", "Nao foi possivel falar com o servidor.",
                  "Falha ao baixar um arquivo. Tente de novo.")


def is_downloading_or_over(status):
    return status.startswith(DOWNLOADING) or status in FINAL_STATUSES


def resident_memory(pid):
    """What a process holds in memory now: {"anonymous": KiB, "files": KiB, "largest": [(mapping, KiB)]},
    mappings of the same file summed; Wine maps each DLL as a file."""
    by_name = {}
    anonymous = 0
    name = None
    for line in Path(f"/proc/{pid}/smaps").read_text().splitlines():
        fields = line.split()
        if fields and "-" in fields[0] and not fields[0].endswith(":"):
            name = fields[5] if len(fields) > 5 and fields[5].startswith("/") else None
        elif fields and fields[0] == "Rss:":
            if name:
                by_name[name] = by_name.get(name, 0) + int(fields[1])
            else:
                anonymous += int(fields[1])
    largest = sorted(by_name.items(), key=lambda item: -item[1])[:8]
    return {"anonymous": anonymous, "files": sum(by_name.values()), "largest": largest,
            "peak": peak_memory_kib(pid)}


def peak_memory_kib(pid):
    """The peak resident set (VmHWM) of a process: under Wine, the working set of the Windows program."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise RuntimeError(f"no VmHWM for process {pid}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small data, few rounds: proves every case runs")
    options = parser.parse_args()
    sizes = bench_data.QUICK if options.quick else bench_data.FULL
    # The quick run keeps apart, so that it never overwrites the figures of a full one.
    out = BENCH / "quick" if options.quick else BENCH
    out.mkdir(parents=True, exist_ok=True)
    own_display = rig.Display()
    bench = Bench(sizes, out, own_display.name)
    started = time.monotonic()
    try:
        bench.prepare()
        bench.check()
        bench.hash()
        bench.download()
        bench.memory()
        bench.responsiveness()
        bench.startup()
    finally:
        bench.close()
        own_display.close()
    results = out / "results.md"
    bench.report.write(results, quick=options.quick, minutes=(time.monotonic() - started) / 60)
    print(f"bench: results in {results.relative_to(ROOT)}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
