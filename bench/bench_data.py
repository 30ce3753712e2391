"""The bench's files: installations to check and hash, and update sites to download from.

Each set is made once and kept while its layout stays the same; a stamp file records the layout."""

import json
import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import make_manifest  # noqa: E402

KIB = 1024
MIB = 1024 * KIB

# The full bench, sized to finish in about ten minutes on two cores, and a quick one that only
# proves every case still runs.
FULL = {
    "check_counts": [1000, 10000, 50000],
    "check_rounds": 5,
    "small_file_sizes": [512, 4096],
    "hash_large": 1024 * MIB,
    "hash_medium": [128, 8 * MIB],
    "hash_rounds": 5,
    "download_large": 768 * MIB,
    "download_small": [2048, 128 * KIB],
    "download_rounds": 3,
    "memory_sizes": [100 * MIB, 1024 * MIB],
    "startups": 20,
}
QUICK = {
    "check_counts": [100, 300, 1000],
    "check_rounds": 2,
    "small_file_sizes": [512, 4096],
    "hash_large": 16 * MIB,
    "hash_medium": [8, 1 * MIB],
    "hash_rounds": 2,
    "download_large": 16 * MIB,
    "download_small": [32, 64 * KIB],
    "download_rounds": 2,
    "memory_sizes": [4 * MIB, 16 * MIB],
    "startups": 3,
}


def _write_random(path, size):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        left = size
        while left:
            block = min(left, 16 * MIB)
            out.write(os.urandom(block))
            left -= block


def _write_manifest(files_dir, manifest_path):
    manifest_path.write_bytes(make_manifest.manifest_text(make_manifest.build_manifest(str(files_dir))))


def _made(directory, layout, make):
    """Runs make(directory) unless the directory already holds this layout."""
    stamp = directory / ".layout.json"
    wanted = json.dumps(layout, sort_keys=True)
    if stamp.exists() and stamp.read_text() == wanted:
        return directory
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    make(directory)
    stamp.write_text(wanted)
    return directory


def small_file_path(index):
    """Three folder levels, as a game's data tree has: 25 folders of 100 files under each top folder."""
    return f"d{index // 2500:02d}/s{(index // 100) % 25:02d}/arquivo{index:05d}.dat"


def check_set(data, count, sizes):
    """An installation of `count` small files: DIR/install/... and DIR/manifest.txt."""
    def make(directory):
        low, high = sizes
        for index in range(count):
            size = low + (index * 7919) % (high - low + 1)
            _write_random(directory / "install" / small_file_path(index), size)
        _write_manifest(directory / "install", directory / "manifest.txt")
    return _made(data / f"check-{count}", {"count": count, "sizes": sizes}, make)


def hash_set(data, large, medium):
    """One large file and many medium ones, DIR/install/... and DIR/manifest.txt."""
    def make(directory):
        _write_random(directory / "install" / "grande.pak", large)
        count, size = medium
        for index in range(count):
            _write_random(directory / "install" / "medios" / f"m{index:03d}.pak", size)
        _write_manifest(directory / "install", directory / "manifest.txt")
    return _made(data / "hash", {"large": large, "medium": medium}, make)


def site(data, name, files):
    """An update site DIR/launcher/{manifest.txt,files/} serving `files`: relative path -> size,
    or relative path -> existing file to link (no second copy of a large file)."""
    def make(directory):
        root = directory / "launcher" / "files"
        root.mkdir(parents=True)
        for relative, content in files.items():
            target = root / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, Path):
                os.link(content, target)
            else:
                _write_random(target, content)
        _write_manifest(root, directory / "launcher" / "manifest.txt")
    layout = {k: (str(v) if isinstance(v, Path) else v) for k, v in files.items()}
    return _made(data / "sites" / name, layout, make)


def download_files(large, small):
    """One large file, then many small ones in folders, in manifest order."""
    count, size = small
    files = {"grande/mundo.pak": large}
    files.update({f"pequenos/{index // 256:02d}/p{index:04d}.dat": size for index in range(count)})
    return files


def manifest_entries(manifest_path):
    """[(digest, size, path)] of a manifest file."""
    entries = []
    for line in Path(manifest_path).read_text(encoding="utf-8").splitlines():
        digest, size, path = line.split(" ", 2)
        entries.append((digest, int(size), path))
    return entries
