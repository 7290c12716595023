"""Encoding throughput: CPU milliseconds per MB of English text for pairloom, tiktoken and HF
tokenizers, all with one vocabulary that pairloom trains (unsplit) on English.

    PYTHONPATH=build python bench/encode_speed.py [--vocab 4096 32768] [--sizes 1e3 1e5 1e6 1e7]
        [--systems pairloom tiktoken hf hf-regex] [--corpora DIR] [--models DIR]

The corpora are $PAIRLOOM_CORPORA, else ../shared/corpora beside the project. The vocabulary
is trained on two books of the corpora and cached in --models (default: a folder in the
temporary directory); the texts are the other English books, cut to each size (small sizes:
many different pieces per run). Each cell is the median over runs of at least --runs runs and
--min-cpu seconds. tiktoken splits the text with a GPT-2 style pattern first; "hf" encodes the
text unsplit (byte level, no pattern), "hf-regex" with the GPT-2 pattern. Needs tiktoken and
tokenizers only for their columns.
"""
import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench.corpora import books, cut, default_corpora, load_text  # noqa: E402
from pairloom_bench.peers import make_encoder as peer_encoder  # noqa: E402
from pairloom_bench.peers import read_merges, tiktoken_from_merges  # noqa: E402

TRAIN = ["gutenberg_02600_war_and_peace.txt", "gutenberg_00145_middlemarch.txt"]
GPT2_PATTERN = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""


def prefix_of_bytes(text, size):
    return cut(text.encode("utf-8"), size).decode("utf-8")


def model_path(corpora, models, vocab):
    import pairloom

    path = models / f"english_{vocab}.model"
    if not path.exists():
        models.mkdir(parents=True, exist_ok=True)
        tok = pairloom.BasicTokenizer(num_threads=2)
        tok.train("".join(load_text(corpora / name) for name in TRAIN), vocab)
        tok.save_model(str(path))
    return path


def make_encoder(system, path):
    if system == "tiktoken":  # with the GPT-2 pattern here, not the bench's cl100k-style one
        return tiktoken_from_merges(read_merges(path), GPT2_PATTERN).encode_ordinary
    return peer_encoder(system, path)


def cpu_ms_per_mb(encode, texts, min_cpu, min_runs):
    size = sum(len(t.encode("utf-8")) for t in texts)
    for t in texts[:3]:
        encode(t)  # warm-up: first-call set-up is not throughput
    runs, total = [], 0.0
    while len(runs) < min_runs or total < min_cpu:
        start = time.process_time()
        for t in texts:
            encode(t)
        spent = time.process_time() - start
        runs.append(spent)
        total += spent
    return statistics.median(runs) / size * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vocab", type=int, nargs="+", default=[4096, 32768])
    parser.add_argument("--sizes", type=float, nargs="+", default=[1e3, 1e5, 1e6, 1e7])
    parser.add_argument("--systems", nargs="+", default=["pairloom", "tiktoken", "hf", "hf-regex"])
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    parser.add_argument("--models", type=Path,
                        default=Path(tempfile.gettempdir()) / "pairloom-encode-speed")
    parser.add_argument("--min-cpu", type=float, default=1.0)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    english = "".join(load_text(p) for p in books(args.corpora) if p.name not in TRAIN)
    print(f"{'vocab':>6} {'system':>9} " + " ".join(f"{int(s):>10}" for s in args.sizes)
          + "   (CPU ms per MB; columns: text size in bytes)")
    for vocab in args.vocab:
        path = model_path(args.corpora, args.models, vocab)
        for system in args.systems:
            encode = make_encoder(system, path)
            cells = []
            for size in map(int, args.sizes):
                if size < 100_000:  # many different small texts per run
                    whole = prefix_of_bytes(english, size * 200)
                    texts = [t for t in (prefix_of_bytes(whole[i * size:], size)
                                         for i in range(200)) if t]
                else:
                    texts = [prefix_of_bytes(english, size)]
                cells.append(cpu_ms_per_mb(encode, texts, args.min_cpu, args.runs))
            print(f"{vocab:>6} {system:>9} " + " ".join(f"{c:>10.1f}" for c in cells),
                  flush=True)


if __name__ == "__main__":
    main()
