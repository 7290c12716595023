"""One adapter per system: how each trains and encodes, and how pairloom's vocabulary is handed
to the peers that encode with it.

- pairloom: the module, trained and encoded from Python.
- plain: bench/plain_bpe.cpp, the straightforward algorithm on the engine's one-step
  operations, run as a command.
- engine: bench/encode_engine.cpp, the engine's encoder with no Python around it, run as a
  command (64- and 32-bit builds).
- hf, tiktoken, spm: Hugging Face tokenizers, tiktoken, SentencePiece, from Python.
"""

from __future__ import annotations

import importlib.metadata
import io
import json
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

# cl100k-style pre-split regex: contractions, letter runs, 1-3 digit groups, punctuation runs,
# line breaks and other whitespace.
TIKTOKEN_PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*"""
    r"""|\s*[\r\n]|\s+(?!\S)|\s+"""
)

SYSTEM_LABELS = {
    "pairloom": "pairloom (1 thread)",
    "pairloom2": "pairloom (2 threads)",
    "plain": "plain algorithm (C++)",
    "engine": "pairloom engine alone (C++, 64-bit)",
    "engine-i386": "pairloom engine alone (C++, 32-bit)",
    "hf": "HF tokenizers",
    "tiktoken": "tiktoken (pre-split)",
    "spm": "SentencePiece",
}
PYTHON_PEERS = {"hf": "tokenizers", "tiktoken": "tiktoken", "spm": "sentencepiece"}
NATIVE_SYSTEMS = ("plain", "engine", "engine-i386")


def available_systems() -> tuple[list[str], dict[str, str]]:
    systems, versions = ["pairloom", "plain"], {}
    for system, package in PYTHON_PEERS.items():
        try:
            versions[package] = importlib.metadata.version(package)
            systems.append(system)
        except importlib.metadata.PackageNotFoundError:
            print(f"{package} is not installed: {SYSTEM_LABELS[system]} is left out")
    return systems, versions


# -- pairloom's model files and vocabulary


def read_merges(model_path: str | Path) -> list[tuple[int, int]]:
    """The merges of a pairloom model file: after the header, the pattern, the special-token
    count and the special tokens, one "left right" line each, in id order from 256."""
    lines = Path(model_path).read_text(encoding="utf-8").split("\n")
    specials = int(lines[2])
    merges = []
    for line in lines[3 + specials:]:
        if line:
            left, right = line.split()
            merges.append((int(left), int(right)))
    return merges


def token_bytes(merges: list[tuple[int, int]]) -> list[bytes]:
    vocab = [bytes([b]) for b in range(256)]
    for left, right in merges:
        vocab.append(vocab[left] + vocab[right])
    return vocab


def write_merges_file(model: Path, out: Path) -> Path:
    """The plain tool's input: one "left right" line per merge of a model file."""
    out.write_text("".join(f"{a} {b}\n" for a, b in read_merges(model)))
    return out


def bytes_to_unicode() -> dict[int, str]:
    """The byte-to-character table of HF's ByteLevel pre-tokenizer: printable bytes stand for
    themselves, the others for characters from U+0100 on."""
    printable = [*range(33, 127), *range(161, 173), *range(174, 256)]
    table = {b: chr(b) for b in printable}
    extra = 0
    for b in range(256):
        if b not in table:
            table[b] = chr(256 + extra)
            extra += 1
    return table


# -- peers encoding with pairloom's vocabulary


def hf_tokenizer_from_merges(merges: list[tuple[int, int]], use_regex: bool = False) -> Any:
    """A HF BPE tokenizer applying pairloom's merges to the byte-level text, unsplit (or split
    by the ByteLevel pre-tokenizer's own pattern with `use_regex`). HF keys its vocabulary by
    token text, so a token whose bytes repeat an earlier token's maps to that earlier id."""
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers

    to_char = bytes_to_unicode()
    strings = ["".join(to_char[b] for b in token) for token in token_bytes(merges)]
    vocab: dict[str, int] = {}
    for i, s in enumerate(strings):
        vocab.setdefault(s, i)
    hf_merges = [(strings[left], strings[right]) for left, right in merges]
    tokenizer = Tokenizer(models.BPE(vocab=vocab, merges=hf_merges))
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False,
                                                       use_regex=use_regex)
    tokenizer.decoder = decoders.ByteLevel()
    return tokenizer


def tiktoken_from_merges(merges: list[tuple[int, int]], pattern: str = TIKTOKEN_PATTERN) -> Any:
    import tiktoken

    ranks: dict[bytes, int] = {}
    for i, token in enumerate(token_bytes(merges)):
        ranks.setdefault(token, i)
    return tiktoken.Encoding(
        name="pairloom-vocab", pat_str=pattern, mergeable_ranks=ranks, special_tokens={}
    )


def make_encoder(system: str, model: str | Path) -> Callable[[str], list[int]]:
    """`encode(text) -> ids` of a Python system, set up with the vocabulary in `model` (a
    pairloom model file; SentencePiece's own model for "spm")."""
    if system == "pairloom":
        import pairloom

        tokenizer = pairloom.BasicTokenizer()
        tokenizer.load(str(model))
        return tokenizer.encode
    if system in ("hf", "hf-regex"):
        hf = hf_tokenizer_from_merges(read_merges(model), use_regex=system == "hf-regex")
        return lambda text: hf.encode(text, add_special_tokens=False).ids
    if system == "tiktoken":
        encoding = tiktoken_from_merges(read_merges(model))
        return encoding.encode_ordinary  # type: ignore[no-any-return]
    if system == "spm":
        import sentencepiece

        processor = sentencepiece.SentencePieceProcessor(model_file=str(model))
        return processor.encode
    raise ValueError(system)


# -- trainers


def spm_train_options(vocab: int, text_bytes: int) -> dict[str, Any]:
    return dict(
        model_type="bpe", vocab_size=vocab, byte_fallback=True, character_coverage=1.0,
        split_by_whitespace=False, split_by_unicode_script=False, split_by_number=False,
        split_digits=False, treat_whitespace_as_suffix=False, allow_whitespace_only_pieces=True,
        remove_extra_whitespaces=False, normalization_rule_name="identity",
        add_dummy_prefix=False, max_sentence_length=max(text_bytes + 1, 4192),
        max_sentencepiece_length=512, input_sentence_size=0, shuffle_input_sentence=False,
        hard_vocab_limit=False, bos_id=-1, eos_id=-1, num_threads=1, minloglevel=2,
    )


def make_trainer(system: str, text: str, vocab: int, threads: int
                 ) -> tuple[Callable[[], object], Callable[[str | None], dict[str, Any]]]:
    """(train, finish) of a Python system: `train()` is the measured call; `finish(model_out)`
    saves the model where asked and returns what the run adds to its report."""
    if system.startswith("pairloom"):
        import pairloom

        tokenizer = pairloom.BasicTokenizer(num_threads=threads)

        def finish_pairloom(model_out: str | None) -> dict[str, Any]:
            if model_out:
                tokenizer.save_model(model_out)
            return {}

        return lambda: tokenizer.train(text, vocab), finish_pairloom
    if system == "hf":
        from tokenizers import Tokenizer, models, pre_tokenizers, trainers

        hf = Tokenizer(models.BPE())
        hf.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)
        trainer = trainers.BpeTrainer(
            vocab_size=vocab, min_frequency=0, show_progress=False, special_tokens=[],
            initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        )
        return (lambda: hf.train_from_iterator([text], trainer=trainer),
                lambda _: {"vocab_size": hf.get_vocab_size()})
    if system == "spm":
        import sentencepiece

        model = io.BytesIO()
        options = spm_train_options(vocab, len(text.encode()))

        def train_spm() -> None:
            sentencepiece.SentencePieceTrainer.train(
                sentence_iterator=iter([text]), model_writer=model, **options)

        def finish_spm(model_out: str | None) -> dict[str, Any]:
            if model_out:
                Path(model_out).write_bytes(model.getvalue())
            processor = sentencepiece.SentencePieceProcessor(model_proto=model.getvalue())
            return {"vocab_size": processor.get_piece_size()}

        return train_spm, finish_spm
    raise ValueError(system)


# -- the native programs


def plain_command(tool: Path, job: dict[str, Any]) -> list[str]:
    """plain_bpe's command line for a training or encoding job; it prints a JSON report."""
    if job["kind"] == "train":
        return [str(tool), "train", job["text"], str(job["vocab"]),
                job.get("model_out") or os.devnull]
    return [str(tool), "encode", job["text"], job["merges"], str(job["seconds"]),
            *([job["ids_out"]] if job.get("ids_out") else [])]


def engine_command(tool: Path, job: dict[str, Any]) -> list[str]:
    """encode_engine's command line: MODEL TEXT MIN_SECONDS (it encodes the text over and over
    for at least that long and reports the median call)."""
    return [str(tool), job["model"], job["text"], str(job["seconds"])]


def parse_engine_output(stdout: str) -> dict[str, Any]:
    """encode_engine's report, a JSON object on its last line, as a run's report."""
    lines = stdout.strip().splitlines()
    try:
        fields = json.loads(lines[-1]) if lines else {}
        report = {"wall": float(fields["median_seconds"]),
                  "cpu": float(fields["median_cpu_seconds"]),
                  "bytes": int(fields["bytes"]), "tokens": int(fields["tokens"]),
                  "mb_per_s": float(fields["mb_per_second"])}
    except (KeyError, ValueError, TypeError):
        raise RuntimeError(
            f"unexpected output of encode_engine: {stdout.strip()[-200:]!r}") from None
    return report
