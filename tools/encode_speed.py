"""Encoding throughput: CPU milliseconds per MB of English text for pairloom, tiktoken and HF
tokenizers, all with one vocabulary that pairloom trains (unsplit) on English.

    PYTHONPATH=build python tools/encode_speed.py [--vocab 4096 32768] [--sizes 1e3 1e5 1e6 1e7]
        [--systems pairloom tiktoken hf hf-regex] [--corpora DIR] [--models DIR]

The vocabulary is trained on two books of the corpora and cached in --models; the texts are
the other English books, cut to each size (small sizes: many different pieces per run). Each
cell is the median over runs of at least --runs runs and --min-cpu seconds. tiktoken splits
the text with a GPT-2 style pattern first; "hf" encodes the text unsplit (byte level, no
pattern), "hf-regex" with the GPT-2 pattern. Needs tiktoken and tokenizers only for their
columns.
"""
import argparse
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from bench import bytes_to_unicode, read_merges, token_bytes  # noqa: E402

TRAIN = ["gutenberg_02600_war_and_peace.txt", "gutenberg_00145_middlemarch.txt"]
# The shared text corpora sit beside the project folder unless PAIRLOOM_CORPORA says otherwise.
CORPORA = Path(os.environ.get("PAIRLOOM_CORPORA")
               or Path(__file__).resolve().parent.parent.parent / "shared" / "corpora")
GPT2_PATTERN = r"""'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""


def read_text(path):
    return path.read_bytes().decode("utf-8")


def prefix_of_bytes(text, size):
    return text.encode("utf-8")[:size].decode("utf-8", errors="ignore")


def model_path(corpora, models, vocab):
    import pairloom

    path = models / f"english_{vocab}.model"
    if not path.exists():
        models.mkdir(parents=True, exist_ok=True)
        tok = pairloom.BasicTokenizer(num_threads=2)
        tok.train("".join(read_text(corpora / name) for name in TRAIN), vocab)
        tok.save_model(str(path))
    return path


def make_encoder(system, path):
    if system == "pairloom":
        import pairloom

        tok = pairloom.BasicTokenizer()
        tok.load(str(path))
        return tok.encode
    merges = read_merges(path)
    if system == "tiktoken":
        import tiktoken

        ranks = {}
        for i, token in enumerate(token_bytes(merges)):
            ranks.setdefault(token, i)
        enc = tiktoken.Encoding(name="pairloom-vocab", pat_str=GPT2_PATTERN,
                                mergeable_ranks=ranks, special_tokens={})
        return enc.encode_ordinary
    if system in ("hf", "hf-regex"):
        from tokenizers import Tokenizer, models, pre_tokenizers

        chars = bytes_to_unicode()
        strings = ["".join(chars[b] for b in token) for token in token_bytes(merges)]
        vocab = {}
        for i, s in enumerate(strings):
            vocab.setdefault(s, i)
        tok = Tokenizer(models.BPE(vocab=vocab,
                                   merges=[(strings[a], strings[b]) for a, b in merges]))
        tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False,
                                                     use_regex=system == "hf-regex")
        return lambda text: tok.encode(text, add_special_tokens=False).ids
    raise ValueError(system)


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
    parser.add_argument("--corpora", type=Path, default=CORPORA)
    parser.add_argument("--models", type=Path, default=Path("/tmp/pairloom-encode-speed"))
    parser.add_argument("--min-cpu", type=float, default=1.0)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    english = "".join(read_text(p) for p in sorted(args.corpora.glob("gutenberg_*.txt"))
                      if p.name not in TRAIN)
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
