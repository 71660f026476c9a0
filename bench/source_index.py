"""Benchmark: indexing a project's HDL sources (_original_source_index) against openssl.

Builds a tree of 2,000 HDL files (200 MB, 30% of the files duplicates of others) in a temporary
directory under /tmp, checks the index against a one-by-one hashlib scan, and prints the best of
several warm-cache runs of

  - corvane's _original_source_index (native SHA-256, files hashed on several threads),
  - `openssl dgst -sha256` over the same files in one process (the one-core floor),
  - a one-by-one hashlib loop (what a plain Python implementation would do).

The tree is deleted afterwards.

    python bench/source_index.py [--files 2000] [--megabytes 200] [--repeat 5]
"""

import argparse
import hashlib
import os
import random
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from corvane.sim.runners import quessel

SOURCE_DIRS = ("src", "common")


def build_tree(root, files, total_bytes, duplicate_share, seed=1):
    """Write `files` HDL files of `total_bytes` in all; the duplicates copy earlier files."""
    rng = random.Random(seed)
    unique = files - int(files * duplicate_share)
    sizes = [rng.uniform(0.2, 1.8) for _ in range(files)]
    scale = total_bytes / sum(sizes)
    written = []
    for i in range(files):
        directory = root / rng.choice(SOURCE_DIRS) / rng.choice(["", "rtl", "rtl/core", "ip/x"])
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / f"m{i:04d}{rng.choice(['.v', '.v', '.sv'])}"
        if i < unique:
            path.write_bytes(rng.randbytes(int(sizes[i] * scale)))
        else:
            shutil.copyfile(rng.choice(written[:unique]), path)
        written.append(path)
    return written


def best_of(repeat, run):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def one_by_one(root):
    index = {}
    for directory in SOURCE_DIRS:
        for pattern in ("*.v", "*.sv"):
            for path in sorted((root / directory).rglob(pattern)):
                with open(path, "rb") as f:
                    digest = hashlib.file_digest(f, "sha256").digest()
                index.setdefault(digest, path)
    return index


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--megabytes", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    root = Path(tempfile.mkdtemp(prefix="corvane_bench_index_", dir="/tmp"))
    try:
        paths = build_tree(root, args.files, args.megabytes * 1_000_000, 0.3)
        total = sum(p.stat().st_size for p in paths)
        index = quessel._original_source_index(root, SOURCE_DIRS)  # also warms the page cache
        expected = one_by_one(root)
        assert list(index.items()) == list(expected.items()), "index differs from hashlib scan"

        openssl = ["openssl", "dgst", "-sha256", *map(str, paths)]
        t_index = best_of(args.repeat, lambda: quessel._original_source_index(root, SOURCE_DIRS))
        t_openssl = best_of(args.repeat, lambda: subprocess.run(
            openssl, check=True, stdout=subprocess.DEVNULL))
        t_python = best_of(max(1, args.repeat // 2), lambda: one_by_one(root))

        mb = total / 1e6
        print(f"tree: {len(paths)} files, {mb:.1f} MB, {len(index)} distinct contents, "
              f"{os.cpu_count()} CPUs")
        for name, seconds in [("_original_source_index", t_index),
                              ("openssl dgst -sha256 (1 core)", t_openssl),
                              ("hashlib one by one (1 core)", t_python)]:
            print(f"{name:32s} {seconds * 1000:8.1f} ms  {mb / seconds:8.0f} MB/s")
        print(f"speed-up over openssl: {t_openssl / t_index:.2f}x")
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
