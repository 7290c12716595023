"""`pairloom encode --jobs 2` against `--jobs 1` on a folder of many small files.

Usage: PYTHONPATH=BUILD_DIR python3 bench/small_files.py [--files 2000] [--rounds 11]
    [--where DIR ...] [--corpora DIR]

For each folder in --where (default: a temporary folder under /tmp and one under /dev/shm,
which are ext4 and tmpfs on this project's machines) it writes --files documents of 1 to 8 KB
cut from the shared corpora, trains a model of 4,096 tokens on them, and then runs the command
with `--jobs 1` and `--jobs 2` in turns, each a fresh process writing its output beside the
documents. It prints the median wall time of each and `--jobs 2` over `--jobs 1`: the target
is at most 1.10 (two jobs never more than 10% slower than one).
"""
from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench.corpora import books, cut, default_corpora  # noqa: E402

PROJECT_ROOT = Path(__file__).resolve().parent.parent


def make_documents(folder: Path, corpora: Path, count: int) -> None:
    text = b"".join(path.read_bytes() for path in books(corpora))
    rng = random.Random(20)
    (folder / "docs").mkdir()
    for index in range(count):
        start = rng.randrange(len(text) - 10_000)
        while start and (text[start] & 0xC0) == 0x80:
            start -= 1
        data = cut(text[start:], rng.randrange(1_000, 8_000))
        (folder / "docs" / f"{index:05d}.txt").write_bytes(data)


def train_model(folder: Path) -> Path:
    import pairloom

    text = "".join(path.read_text(encoding="utf-8")
                   for path in sorted((folder / "docs").iterdir()))
    tokenizer = pairloom.BasicTokenizer()
    tokenizer.train(text, 4096)
    model = folder / "m.model"
    tokenizer.save_model(str(model))
    return model


def run(folder: Path, model: Path, jobs: int) -> float:
    env = {**os.environ,
           "PYTHONPATH": os.pathsep.join([str(PROJECT_ROOT), os.environ.get("PYTHONPATH", "")])}
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "pairloom_tools", "encode", "--quiet", "--jobs",
                    str(jobs), "--model", str(model), "--output", str(folder / f"o{jobs}.npy"),
                    str(folder / "docs")], env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def filesystem(folder: Path) -> str:
    done = subprocess.run(["df", "--output=fstype", str(folder)], capture_output=True,
                          text=True, check=False)
    lines = done.stdout.split()
    return lines[-1] if done.returncode == 0 and lines else "?"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--where", type=Path, nargs="+",
                        default=[Path(tempfile.gettempdir()), Path("/dev/shm")])
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    args = parser.parse_args()
    for where in args.where:
        if not where.is_dir():
            print(f"{where}: no such folder, skipped")
            continue
        folder = Path(tempfile.mkdtemp(prefix="pairloom-small-files-", dir=where))
        try:
            make_documents(folder, args.corpora, args.files)
            model = train_model(folder)
            times: dict[int, list[float]] = {1: [], 2: []}
            for _ in range(args.rounds):
                for jobs in (1, 2):
                    times[jobs].append(run(folder, model, jobs))
            if (folder / "o1.npy").read_bytes() != (folder / "o2.npy").read_bytes():
                raise SystemExit("--jobs 1 and --jobs 2 wrote different ids")
            one, two = statistics.median(times[1]), statistics.median(times[2])
            print(f"{where} ({filesystem(folder)}), {args.files} files: --jobs 1 {one:.3f} s,"
                  f" --jobs 2 {two:.3f} s, ratio {two / one:.2f} (target at most 1.10;"
                  f" medians of {args.rounds})", flush=True)
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    main()
