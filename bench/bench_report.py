"""The bench's figures as build/bench/results.md, and the plot of the check time."""

import datetime
import os
import platform
import statistics
import subprocess
from pathlib import Path

MIB = 1024 * 1024
MB = 1000 * 1000


def median(values):
    return statistics.median(values)


def paired_ratio(ours, reference):
    """Median of the per-round ratios: each round's two figures were taken side by side."""
    return median([a / b for a, b in zip(ours, reference)])


def ms(value):
    return f"{value:,.1f} ms" if value < 10000 else f"{value / 1000:,.2f} s"


def rate(byte_count, milliseconds):
    return f"{byte_count / MB / (milliseconds / 1000):,.0f} MB/s"


def verdict(met):
    return "yes" if met else "**no**"


def version(command):
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=30)
        return (result.stdout or result.stderr).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.TimeoutExpired):
        return "unknown"


class Report:
    def __init__(self):
        self.rows = []  # (case, launcher, reference, ratio, target, met)
        self.notes = []  # where the time goes, per case
        self.rounds = []  # raw figures
        self.commands = []

    def command(self, text):
        if text not in self.commands:
            self.commands.append(text)

    def _raw(self, name, values):
        self.rounds.append(f"- {name}: " + ", ".join(f"{v:.1f}" for v in values))

    def check(self, count, launcher, bare, posting, changes):
        ratio = paired_ratio(launcher, bare)
        self.rows.append((f"1. Check, cache valid, {count:,} files", ms(median(launcher)),
                          f"bare `GetFileAttributesExW` loop: {ms(median(bare))}; "
                          f"the same posting one progress value per file: {ms(median(posting))}",
                          f"{ratio:.2f} ({paired_ratio(launcher, posting):.2f} against the posting loop)", "≤ 1.3",
                          verdict(ratio <= 1.3)))
        self.notes.append(f"- Check of {count:,} files: the bare loop takes {median(bare) * 1000 / count:.1f} µs per "
                          f"file; posting one progress value per file, as the check does, raises it to "
                          f"{median(posting) * 1000 / count:.1f} µs; posting only the values that change "
                          f"(at most 301) to {median(changes) * 1000 / count:.1f} µs.")
        for name, values in (("launcher", launcher), ("bare loop", bare), ("bare loop posting every value", posting),
                             ("bare loop posting changed values", changes)):
            self._raw(f"check {count:,} files, {name}", values)

    def check_linearity(self, points):
        per_file = [(count, launcher * 1000 / count) for count, launcher, _, _ in points]
        growth = per_file[-1][1] / per_file[0][1]
        self.rows.append(("1. Check time per file at " + " / ".join(f"{c:,}" for c, _ in per_file) + " files",
                          " / ".join(f"{us:.1f} µs" for _, us in per_file), "", f"{growth:.2f}",
                          "linear: per-file time at the largest count ≤ 1.3 × at the smallest", verdict(growth <= 1.3)))

    def hash(self, byte_count, files, launcher, bare, hash_only, sums):
        ratio = paired_ratio(launcher, bare)
        self.rows.append((f"2. Hash, no cache, {byte_count / MIB / 1024:.2f} GiB in {files} files",
                          f"{ms(median(launcher))} ({rate(byte_count, median(launcher))})",
                          f"bare `ReadFile` 1 MiB + CNG SHA-256 loop: {ms(median(bare))} "
                          f"({rate(byte_count, median(bare))})", f"{ratio:.2f}", "≤ 1.05", verdict(ratio <= 1.05)))
        self.rows.append(("2. Hash, for the reader: `sha256sum` over the same files", "",
                          f"{ms(median(sums))} ({rate(byte_count, median(sums))})",
                          f"{median(launcher) / median(sums):.2f}", "report", "—"))
        self.notes.append(f"- Hash: CNG SHA-256 alone, over the same number of bytes already in memory, runs at "
                          f"{rate(byte_count, median(hash_only))}; reading and hashing together at "
                          f"{rate(byte_count, median(bare))}.")
        for name, values in (("launcher", launcher), ("bare loop", bare), ("CNG in memory", hash_only),
                             ("sha256sum", sums)):
            self._raw(f"hash, {name}", values)

    def download(self, byte_count, files, launcher, bare, hashing, posting, replacing, curls):
        ratio = paired_ratio(replacing, launcher)  # a throughput ratio: ours over the reference
        self.rows.append((f"3. Download, {byte_count / MIB / 1024:.2f} GiB in {files} files",
                          f"{ms(median(launcher))} ({rate(byte_count, median(launcher))})",
                          f"bare WinHTTP loop, 64 KiB reads into files: {ms(median(bare))} "
                          f"({rate(byte_count, median(bare))}); the same verifying SHA-256 and posting progress "
                          f"per read: {ms(median(posting))} ({rate(byte_count, median(posting))}); the same "
                          f"writing each file beside its target, flushing it and moving it over the target: "
                          f"{ms(median(replacing))} ({rate(byte_count, median(replacing))})",
                          f"{ratio:.2f} ({paired_ratio(posting, launcher):.2f} against the verifying, posting loop)",
                          "≥ 0.95 of the replacing loop's throughput", verdict(ratio >= 0.95)))
        self.rows.append(("3. Download, against `curl` into files", "",
                          f"{ms(median(curls))} ({rate(byte_count, median(curls))})",
                          f"{paired_ratio(curls, launcher):.2f}", "report", "—"))
        self.notes.append(f"- Download: the bare WinHTTP loop runs at {rate(byte_count, median(bare))}; verifying "
                          f"each body's SHA-256 as it streams brings it to {rate(byte_count, median(hashing))}; "
                          f"posting a progress value after every read as well, to "
                          f"{rate(byte_count, median(posting))}; writing each file beside its target, flushing it "
                          f"to the disk and moving it over the target as well, to "
                          f"{rate(byte_count, median(replacing))} "
                          f"({(median(replacing) - median(posting)) / files:+.2f} ms a file). The launcher does all "
                          f"of it and takes {(median(launcher) - median(replacing)) / files:+.2f} ms a file against "
                          f"that loop: it also clears a read-only flag, makes the file's folders, posts the file's "
                          f"heading and records the file in the cache.")
        for name, values in (("launcher", launcher), ("bare loop", bare), ("bare loop verifying", hashing),
                             ("bare loop verifying and posting", posting),
                             ("bare loop verifying, posting and replacing", replacing), ("curl", curls)):
            self._raw(f"download, {name}", values)

    def memory(self, peaks, idle, bare_window):
        limit = 32 * 1024
        reference = (f"the launcher with nothing to do: {idle['peak'] / 1024:.1f} MiB; a bare Win32 window "
                     f"program: {bare_window['peak'] / 1024:.1f} MiB")
        for size, downloading, hashing in peaks:
            for what, kib in (("downloading", downloading), ("hashing", hashing)):
                self.rows.append((f"4. Peak working set, {what} a {size / MIB:,.0f} MiB file",
                                  f"{kib / 1024:.1f} MiB", reference, "", "< 32 MiB", verdict(kib < limit)))
        (small, small_down, small_hash), (large, large_down, large_hash) = peaks[0], peaks[-1]
        growth = max(large_down - small_down, large_hash - small_hash) / 1024
        self.rows.append((f"4. Growth of the peak from {small / MIB:,.0f} MiB to {large / MIB:,.0f} MiB",
                          f"download {(large_down - small_down) / 1024:+.1f} MiB, "
                          f"hash {(large_hash - small_hash) / 1024:+.1f} MiB", "", "", "no growth (< 1 MiB)",
                          verdict(growth < 1)))
        for name, memory in (("The launcher with nothing to do", idle),
                             ("A bare Win32 window program under the same Wine", bare_window)):
            largest = ", ".join(f"{Path(path).name} {kib / 1024:.1f}" for path, kib in memory["largest"])
            self.notes.append(f"- Memory: {name} peaks at {memory['peak'] / 1024:.1f} MiB. Resident at the end: "
                              f"{memory['anonymous'] / 1024:.1f} MiB anonymous (heaps, stacks, Wine's own data) and "
                              f"{memory['files'] / 1024:.1f} MiB of mapped files; the largest, in MiB: {largest}.")

    def responsiveness(self, answer, count, during_download):
        p99 = float(answer["p99_ms"])
        self.rows.append(("5. Window answers `WM_NULL` during the download, 99th percentile",
                          f"{p99:.1f} ms (median {float(answer['p50_ms']):.1f}, max {float(answer['max_ms']):.1f}; "
                          f"{answer['samples']} of {count} answered)", "", "", "< 50 ms",
                          verdict(p99 < 50 and answer["failures"] == "0")))
        if not during_download:
            self.notes.append("- Responsiveness: the download ended before the last ping.")

    def startup(self, launcher, progress, bare, warmups):
        ratio = median(launcher) / median(progress)
        self.rows.append((f"6. Start-up, process start to window shown, median of {len(launcher)} "
                          f"after {warmups} uncounted",
                          ms(median(launcher)),
                          f"bare Win32 window program that loads the common controls and shows one progress bar: "
                          f"{ms(median(progress))}; the bare window program alone: {ms(median(bare))}",
                          f"{ratio:.2f} ({median(launcher) / median(bare):.2f} against the bare window alone)",
                          "≤ 1.05", verdict(ratio <= 1.05)))
        self.notes.append(f"- Start-up: loading the common controls and creating one progress bar change the bare "
                          f"window program's start by {median(progress) - median(bare):+.1f} ms; the launcher "
                          f"shows its window {median(launcher) - median(progress):+.1f} ms against that reference "
                          f"(it also creates its fonts, loads its icon and creates three more controls).")
        self._raw("start-up, launcher", launcher)
        self._raw("start-up, bare window with the common controls and a progress bar", progress)
        self._raw("start-up, bare window", bare)

    def plot_check(self, points, directory):
        data = Path(directory) / "check-time.dat"
        data.write_text("".join(f"{c} {a:.3f} {b:.3f} {p:.3f}\n" for c, a, b, p in points))
        script = f"""set terminal pngcairo size 800,500
set output '{Path(directory) / "check-time.png"}'
set title 'Check with a valid cache: median time against the number of files'
set xlabel 'files'
set ylabel 'milliseconds'
set key left top
set grid
plot '{data}' using 1:2 with linespoints title 'launcher (CheckLocalFiles)', \\
     '' using 1:4 with linespoints title 'bare loop + one PostMessageW per file', \\
     '' using 1:3 with linespoints title 'bare GetFileAttributesExW loop'
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)

    def table(self):
        lines = ["| Measurement | Launcher | Reference | Ratio | Target | Met |", "|---|---|---|---|---|---|"]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines)

    def write(self, path, quick, minutes):
        machine = [
            f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; whole run {minutes:.1f} min"
            + (" (quick mode: small data, not figures to quote)" if quick else ""),
            f"- CPU: {cpu_model()}, {len(os.sched_getaffinity(0))} cores; kernel {platform.release()}",
            f"- {version(['/usr/lib/wine/wine64', '--version'])}; {version(['nginx', '-v'])}; "
            f"{version(['curl', '--version'])}",
        ]
        text = "\n\n".join([
            "# Launcher benchmarks",
            "Medians of several rounds. Each ratio is the median of per-round ratios, the launcher's figure and "
            "its reference taken side by side in the same round (for the download, a throughput ratio). "
            "Page cache warm.",
            self.table(),
            "![Check time against the number of files](check-time.png)",
            "## Where the time goes\n\n" + "\n".join(self.notes),
            "## Every round (milliseconds)\n\n" + "\n".join(self.rounds),
            "## Commands\n\nAll run by `bench/run`; Windows programs under Wine in the bench's own prefix, "
            "OUT being the answer file.\n\n" + "\n".join(f"    {c}" for c in self.commands),
            "## Machine\n\n" + "\n".join(machine),
        ])
        Path(path).write_text(text + "\n")


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"
