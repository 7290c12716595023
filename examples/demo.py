"""A short tour of pairloom: train a byte-level BPE tokenizer, encode and decode with it, look
at what it learned, save it and load it back.

    python examples/demo.py [TEXT_FILE] [--vocab-size N] [--max-bytes N] [--out DIR]

Without TEXT_FILE it trains on the source of the running Python's own standard library.
"""

import argparse
import os
import pathlib
import sysconfig
import tempfile
import time

import pairloom

SAMPLE = "The quick brown fox jumps over the lazy dog. def encode(self, text): return ids"
SKIPPED_DIRS = {"site-packages", "dist-packages", "test", "tests", "idle_test", "__pycache__"}


def stdlib_source(max_bytes: int) -> tuple[str, str]:
    """The standard library's .py files, in a fixed order, joined up to about max_bytes."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    parts: list[str] = []
    size = 0
    for path in sorted(root.rglob("*.py")):
        if SKIPPED_DIRS.intersection(path.relative_to(root).parts):
            continue
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        parts.append(text)
        size += len(text.encode())
        if size >= max_bytes:
            break
    if not parts:
        raise SystemExit(f"no Python source found under {root}; give a TEXT_FILE")
    shown = pathlib.Path("...", *root.parts[-2:])  # where Python is installed matters little
    return "".join(parts), f"{len(parts)} standard library files under {shown}"


def read_text(path: str, max_bytes: int) -> tuple[str, str]:
    data = pathlib.Path(path).read_bytes()[:max_bytes]
    # A cut in the middle of a character, or a file that is not UTF-8, still trains.
    return data.decode("utf-8", errors="replace"), path


def merges_from_model(model_path: pathlib.Path) -> list[tuple[int, int, int]]:
    """(left, right, id) of every merge, read back from the model file: the merge lines
    follow the header, the pattern, the special-token count and the special tokens."""
    lines = pathlib.Path(model_path).read_text(encoding="utf-8").splitlines()
    first_merge = 3 + int(lines[2])
    merges = []
    for k, line in enumerate(lines[first_merge:]):
        left, right = map(int, line.split())
        merges.append((left, right, 256 + k))
    return merges


def shortened(items: list[object], keep: int) -> str:
    """A list as Python prints it, its first `keep` items only."""
    shown = ", ".join(map(repr, items[:keep]))
    return f"[{shown}, ...]" if len(items) > keep else f"[{shown}]"


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="A short tour of pairloom: train a byte-level BPE tokenizer on a text, "
        "encode and decode a sample with it, show the first merges it learned, save it and "
        "load it back.",
        epilog="Without TEXT_FILE it trains on the source of the running Python's own "
        "standard library.")
    parser.add_argument("text_file", nargs="?", metavar="TEXT_FILE",
                        help="UTF-8 text to train on")
    parser.add_argument("--vocab-size", type=int, default=512,
                        help="at most vocab_size - 256 merges are learned (default: %(default)s)")
    parser.add_argument("--max-bytes", type=int, default=2_000_000,
                        help="train on at most this much text (default: %(default)s)")
    parser.add_argument("--out", metavar="DIR",
                        help="keep the model and vocabulary files in this directory")
    return parser.parse_args()


def main() -> int:
    args = parse_args()
    if args.text_file:
        text, source = read_text(args.text_file, args.max_bytes)
    else:
        text, source = stdlib_source(args.max_bytes)
    size = len(text.encode())
    print(f"training text: {size:,} bytes from {source}")

    threads = os.cpu_count() or 1
    tok = pairloom.BasicTokenizer(num_threads=threads)
    started = time.perf_counter()
    tok.train(text, args.vocab_size)
    elapsed = time.perf_counter() - started

    with tempfile.TemporaryDirectory(prefix="pairloom-demo-") as scratch:
        out = pathlib.Path(args.out or scratch)
        out.mkdir(parents=True, exist_ok=True)
        model_path, vocab_path = out / "demo.model", out / "demo.vocab"
        tok.save(str(model_path), str(vocab_path))
        # Training stops early when the text runs out of pairs, so the model file, not
        # vocab_size, says how many merges there are.
        merges = merges_from_model(model_path)
        print(f"learned {len(merges)} merges (vocab_size {args.vocab_size} allows "
              f"{max(args.vocab_size - 256, 0)}) on {threads} threads in {elapsed:.2f} s")

        ids = tok.encode(SAMPLE)
        print(f"\nsample:  {SAMPLE!r}")
        print(f"encoded: {len(ids)} tokens for {len(SAMPLE.encode())} bytes: "
              f"{shortened(list(ids), 10)}")
        print(f"pieces:  {shortened([tok.decode([i]) for i in ids], 14)}")
        decoded = tok.decode(ids)
        print(f"decoded: {decoded!r} ({'round trip ok' if decoded == SAMPLE else 'DIFFERS'})")

        started = time.perf_counter()
        all_ids = tok.encode(text)
        print(f"\ncompression on the training text: {size:,} bytes -> {len(all_ids):,} tokens, "
              f"{size / max(len(all_ids), 1):.2f} bytes per token "
              f"(encoded in {time.perf_counter() - started:.2f} s)")

        print(f"\nfirst learned merges (of {len(merges)}):")
        for left, right, new_id in merges[:5]:
            # Brackets as in the vocabulary listing; decode shows a line feed as \u000a.
            parts = f"[{tok.decode([left])}] + [{tok.decode([right])}]"
            print(f"  {new_id:5}: {parts:<24} -> [{tok.decode([new_id])}]")
        if len(merges) > 5:
            print("    ...")

        listing = vocab_path.read_text(encoding="utf-8").splitlines()
        where = out if args.out else "a temporary folder"
        print(f"saved {model_path.name} ({model_path.stat().st_size:,} bytes) and "
              f"{vocab_path.name} ({len(listing)} lines) to {where}; its last lines:")
        for line in listing[-3:]:
            print(f"  {line}")

        reloaded = pairloom.BasicTokenizer()
        reloaded.load(str(model_path))
        same = reloaded.encode(SAMPLE) == ids and reloaded.decode(ids) == decoded
        print(f"\nreloaded from {model_path.name}: "
              f"{'encodes and decodes the sample identically' if same else 'DIFFERS'}")
        if args.out is None:
            print("(temporary files removed; pass --out DIR to keep them)")
    return 0 if same and decoded == SAMPLE else 1


if __name__ == "__main__":
    raise SystemExit(main())
