"""What a second core of this machine adds to work of each kind.

Usage: python3 bench/two_at_once.py BUILD_DIR [--mb 5 50] [--vocab 4096 32768] [--rounds 5]
    [--corpora DIR]

Two copies of a one-thread job, run side by side in separate processes, share nothing but the
machine: its caches, its memory and the kernel's clearing of fresh pages. What they get over one
copy alone is about the most that splitting the job over two threads can get, since the threads
contend for the same and must also work together. So for each kind of work this runs one copy
alone, then two copies at once, in turns, in fresh processes, and prints the medians and the
pair's throughput over one copy's: 2.00× where the cores do not hinder each other.

- compute: a loop of integer arithmetic on registers, as a check of the cores themselves;
- training: BUILD_DIR's train_shards with the incremental trainer on one thread, on the
  Project Gutenberg books of the shared corpora ($PAIRLOOM_CORPORA, else ../shared/corpora)
  cut to each --mb, learning up to the --vocab of the same position.

BUILD_DIR holds train_shards (configure with -DPAIRLOOM_BUILD_BENCH=ON).
"""
from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench.corpora import books_text, default_corpora  # noqa: E402

COMPUTE = [sys.executable, "-c", "s = 0\nfor i in range(20_000_000): s += i"]


def wall(commands: list[list[str]]) -> list[float]:
    """Starts every command at once; the wall seconds of each, from the common start."""
    start = time.perf_counter()
    running = [subprocess.Popen(command, stdout=subprocess.DEVNULL) for command in commands]
    ends = []
    for process in running:
        if process.wait() != 0:
            raise SystemExit(f"{' '.join(commands[0])} failed with status {process.returncode}")
        ends.append(time.perf_counter() - start)
    return ends


def compare(name: str, command: list[str], rounds: int) -> None:
    alone, pairs = [], []
    for _ in range(rounds):
        alone.append(wall([command])[0])
        pairs.append(max(wall([command, command])))
    one, two = statistics.median(alone), statistics.median(pairs)
    print(f"  {name:28} alone {one:7.3f} s   two at once {two:7.3f} s   "
          f"throughput {2 * one / two:4.2f}×", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--mb", type=float, nargs="+", default=[5, 50])
    parser.add_argument("--vocab", type=int, nargs="+", default=[4096, 32768])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    args = parser.parse_args()
    if len(args.vocab) != len(args.mb):
        raise SystemExit("give one --vocab per --mb")
    tool = args.build / "train_shards"
    if not tool.exists():
        raise SystemExit(f"no {tool}: configure with -DPAIRLOOM_BUILD_BENCH=ON and build it")
    print(f"medians of {args.rounds} rounds; throughput = 2 × alone / two at once")
    compare("compute", COMPUTE, args.rounds)
    with tempfile.TemporaryDirectory() as folder:
        for mb, vocab in zip(args.mb, args.vocab):
            path = Path(folder) / f"text-{mb:g}.txt"
            path.write_bytes(books_text(args.corpora, int(mb * 1_000_000)))
            compare(f"training {mb:g} MB -> {vocab}",
                    [str(tool), str(path), str(vocab), "incremental"], args.rounds)


if __name__ == "__main__":
    main()
