"""Shards driven by the coordinator beside the incremental trainer, native, without Python.

Usage: python3 bench/shard_scaling.py BUILD_DIR [--mb 5 50] [--vocab 4096 32768] [--repeat 3]
    [--corpora DIR]
BUILD_DIR holds train_shards (configure with -DPAIRLOOM_BUILD_BENCH=ON). The text is the
Project Gutenberg books of the shared corpora ($PAIRLOOM_CORPORA, else ../shared/corpora),
concatenated (repeated as needed) and cut to size. For each size it runs, in fresh processes,
the incremental trainer on one thread and 8 shards driven in turn on one thread through the
values remote shards would ship (as training on a cluster drives them); it
prints medians of wall time, the coordinator's part of the simulated run per step, and bytes
of state per byte of text, and checks that every run learned the same merges.
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench.corpora import books_text, default_corpora  # noqa: E402

MODES = [["incremental"], ["simulated", "8"]]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--mb", type=float, nargs="+", default=[5, 50])
    parser.add_argument("--vocab", type=int, nargs="+", default=[4096, 32768])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    args = parser.parse_args()
    if len(args.vocab) != len(args.mb):
        raise SystemExit("give one --vocab per --mb")
    with tempfile.TemporaryDirectory() as folder:
        for mb, vocab in zip(args.mb, args.vocab):
            path = Path(folder) / "text.txt"
            path.write_bytes(books_text(args.corpora, int(mb * 1_000_000)))
            print(f"{mb:g} MB -> vocab {vocab}")
            digests: set[str] = set()
            for mode in MODES:
                rows = []
                for _ in range(args.repeat):
                    command = [str(args.build / "train_shards"), str(path), str(vocab), *mode]
                    out = subprocess.run(command, check=True, capture_output=True, text=True)
                    rows.append(json.loads(out.stdout))
                digests.update(row["merges_digest"] for row in rows)
                seconds = statistics.median(row["seconds"] for row in rows)
                state = statistics.median(row["state_bytes_per_byte"] for row in rows)
                line = f"  {' '.join(mode):14} {seconds:7.3f} s  {state:5.1f} B/byte"
                if mode[0] == "simulated":
                    steps = max(rows[0]["steps"], 1)
                    coordination = statistics.median(row["coordination_seconds"] for row in rows)
                    line += f"  coordinator {coordination / steps * 1e6:.1f} us/step"
                print(line, flush=True)
            print("  merges equal" if len(digests) == 1 else f"  MERGES DIFFER: {digests}")


if __name__ == "__main__":
    main()
