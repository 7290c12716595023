"""Wall-clock time of one training run for a few num_threads values.

Usage: PYTHONPATH=<build dir> python3 bench/train_time.py [--mb 1] [--vocab 1024] [--threads 1 2]
The text is the Project Gutenberg books of the shared corpora, concatenated and cut to size.
"""
import argparse
import os
import time
from pathlib import Path

import pairloom

# The shared text corpora sit beside the project folder unless PAIRLOOM_CORPORA says otherwise.
CORPORA = Path(os.environ.get("PAIRLOOM_CORPORA")
               or Path(__file__).resolve().parent.parent.parent / "shared" / "corpora")
BOOKS = ["gutenberg_01342_pride_and_prejudice.txt", "gutenberg_00084_frankenstein.txt"]


def english_text(size: int) -> str:
    data = b"".join((CORPORA / name).read_bytes() for name in BOOKS)
    return data[:size].decode("utf-8", "ignore")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=1.0)
    parser.add_argument("--vocab", type=int, default=1024)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    text = english_text(int(args.mb * 1_000_000))
    print(f"{len(text.encode()):,} bytes, vocab_size {args.vocab}")
    for threads in args.threads:
        times = []
        for _ in range(args.repeat):
            tok = pairloom.BasicTokenizer(threads)
            start = time.perf_counter()
            tok.train(text, args.vocab)
            times.append(time.perf_counter() - start)
        print(f"num_threads {threads}: best {min(times):.3f} s, all "
              + ", ".join(f"{t:.3f}" for t in times))


if __name__ == "__main__":
    main()
