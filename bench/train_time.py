"""Wall-clock time of one training run for a few num_threads values.

Usage: PYTHONPATH=<build dir> python3 bench/train_time.py [--mb 1] [--vocab 1024] [--threads 1 2]
    [--corpora DIR]
The text is two Project Gutenberg books of the shared corpora ($PAIRLOOM_CORPORA, else
../shared/corpora beside the project), concatenated and cut to size.
"""
import argparse
import time
from pathlib import Path

import pairloom
from pairloom_bench.corpora import cut, default_corpora

BOOKS = ["gutenberg_01342_pride_and_prejudice.txt", "gutenberg_00084_frankenstein.txt"]


def english_text(corpora: Path, size: int) -> str:
    missing = [name for name in BOOKS if not (corpora / name).is_file()]
    if missing:
        raise SystemExit(f"{', '.join(missing)} not in {corpora}: point PAIRLOOM_CORPORA or "
                         "--corpora at the shared corpora")
    data = b"".join((corpora / name).read_bytes() for name in BOOKS)
    return cut(data, size).decode("utf-8")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=1.0)
    parser.add_argument("--vocab", type=int, default=1024)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    args = parser.parse_args()
    text = english_text(args.corpora, int(args.mb * 1_000_000))
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
