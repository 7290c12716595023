"""Whole-corpus checks of the pairloom command: train on a sample of every corpus, encode the
whole corpora folder, decode each document back byte for byte, and compare the ids of the HF
tokenizers and tiktoken exports with pairloom's on every whole corpus.

    python scripts/corpus_check.py [--corpora DIR] [--vocab 4096] [--sample 200000] [--jobs 2]
        [--peers hf tiktoken] [--keep DIR]

Prints one line per corpus and exits with status 1 when any check fails. Needs tokenizers and
tiktoken for their columns. tiktoken reads each corpus as one piece, which is slow on the
largest ones.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

import numpy as np  # noqa: E402

from pairloom_tools import tiktoken_encoding  # noqa: E402
from pairloom_tools.native import new_tokenizer  # noqa: E402


def pairloom_command(*args):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    result = subprocess.run([sys.executable, "-m", "pairloom_tools", *map(str, args)], env=env,
                            capture_output=True)
    if result.returncode != 0:
        sys.exit(f"pairloom {args[0]} failed: {result.stderr.decode()}")
    return result.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpora", type=Path, default=Path(
        os.environ.get("PAIRLOOM_CORPORA", ROOT / ".." / "shared" / "corpora")))
    parser.add_argument("--vocab", type=int, default=4096)
    parser.add_argument("--sample", type=int, default=200_000, help="bytes of each corpus")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--peers", nargs="*", default=["hf", "tiktoken"])
    parser.add_argument("--keep", type=Path, help="work folder to keep (default: temporary)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        work = args.keep or Path(scratch)
        work.mkdir(parents=True, exist_ok=True)
        corpora = sorted(p for p in args.corpora.iterdir() if p.suffix == ".txt")
        sample = work / "sample"
        sample.mkdir(exist_ok=True)
        for path in corpora:
            with open(path, "rb") as file:
                (sample / path.name).write_bytes(file.read(args.sample))
        print(pairloom_command("train", "--vocab-size", args.vocab, "--errors", "replace",
                               "--output", work / "m", sample).decode().strip())
        model = work / "m.model"
        print(pairloom_command("encode", "--model", model, "--jobs", args.jobs, "--output",
                               work / "ids.npy", *corpora).decode().strip())
        ids = np.load(work / "ids.npy")
        offsets = np.load(work / "ids.offsets.npy")
        decoded = pairloom_command("decode", "--model", model, work / "ids.npy")
        peers = {}
        if "hf" in args.peers:
            import tokenizers

            pairloom_command("export", "--model", model, "--format", "hf", "--output",
                             work / "tokenizer.json")
            peers["hf"] = tokenizers.Tokenizer.from_file(str(work / "tokenizer.json"))
        if "tiktoken" in args.peers:
            pairloom_command("export", "--model", model, "--format", "tiktoken", "--output",
                             work / "m.tiktoken")
            peers["tiktoken"] = tiktoken_encoding(work / "m.tiktoken")
        tokenizer = new_tokenizer(model_path=str(model))
        failed = False
        position = 0
        print(f"{'corpus':<48} {'bytes':>9} {'tokens':>9}  round trip  " +
              "  ".join(f"{name} ids (s)" for name in peers))
        for i, path in enumerate(corpora):
            data = path.read_bytes()
            doc = ids[offsets[i]:offsets[i + 1]].tolist()
            same_text = decoded[position:position + len(data)] == data
            position += len(data)
            text = data.decode("utf-8")
            same_ids = doc == tokenizer.encode(text)
            cells = []
            for name, peer in peers.items():
                start = time.perf_counter()
                theirs = peer.encode(text).ids if name == "hf" else peer.encode_ordinary(text)
                seconds = time.perf_counter() - start
                same = theirs == doc and peer.decode(doc) == text
                failed |= not same
                cells.append(f"{'same' if same else 'DIFFERENT':>9} ({seconds:6.2f})")
            failed |= not (same_text and same_ids)
            print(f"{path.name:<48} {len(data):>9} {len(doc):>9}  "
                  f"{'ok' if same_text and same_ids else 'FAILED':>10}  " + "  ".join(cells))
        failed |= position != len(decoded)
        print("all checks passed" if not failed else "SOME CHECKS FAILED")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
