"""Exports of a model to Hugging Face tokenizers (``tokenizer.json``) and to tiktoken (a ranks
file), built so that both give pairloom's ids.

pairloom merges, at each step, every occurrence of the adjacent pair with the smallest merge id,
on the whole text (nothing splits it first). HF's BPE model merges by pair in rank order, so
with rank = merge id - 256 it follows the same steps. tiktoken merges any adjacent pair whose
joined bytes are a token, lowest rank first; with rank = id that follows the same steps for a
table learned in one training. Both need one token per byte string, and neither knows the
order of a table whose ids are not 256, 257, ... in file order: such models are refused, as
are models in which a token's own bytes do not encode to that token (tiktoken takes a text
equal to a token's bytes as that token at once).
"""

from __future__ import annotations

import base64
import json
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .files import ToolError
from .model import Model

if TYPE_CHECKING:
    import tiktoken

#: tiktoken's splitting pattern: one piece, the whole text, so nothing changes the ids.
WHOLE_TEXT_PATTERN = r"[\s\S]+"


class ExportError(ToolError, ValueError):
    """The model cannot be exported without changing its ids."""


def byte_alphabet() -> list[str]:
    """The printable character that stands for each byte in byte-level vocabularies: printable
    Latin-1 bytes stand for themselves, the others for the characters from U+0100 on."""
    printable = [*range(0x21, 0x7F), *range(0xA1, 0xAD), *range(0xAE, 0x100)]
    alphabet = [""] * 256
    extra = 0
    for byte in range(256):
        if byte in printable:
            alphabet[byte] = chr(byte)
        else:
            alphabet[byte] = chr(0x100 + extra)
            extra += 1
    return alphabet


def reference_encode(data: bytes, merges: dict[tuple[int, int], int]) -> list[int]:
    """pairloom's encoding of `data`, in plain Python (for short texts)."""
    tokens = list(data)
    while len(tokens) > 1:
        best = min((merges.get(pair, -1) for pair in zip(tokens, tokens[1:])),
                   key=lambda merged: merged if merged >= 0 else float("inf"))
        if best < 0:
            break
        pair = next(pair for pair in zip(tokens, tokens[1:]) if merges.get(pair) == best)
        merged_tokens: list[int] = []
        i = 0
        while i < len(tokens):
            if i + 1 < len(tokens) and (tokens[i], tokens[i + 1]) == pair:
                merged_tokens.append(best)
                i += 2
            else:
                merged_tokens.append(tokens[i])
                i += 1
        tokens = merged_tokens
    return tokens


def check_exportable(model: Model, whole_tokens: bool = False) -> None:
    """Raise `ExportError` when a rank-based encoder could not give the model's ids.
    `whole_tokens`: also require that each token's bytes encode to that token alone."""
    seen: dict[bytes, int] = {}
    for k, ((left, right), merged) in enumerate(model.merges.items()):
        if merged != 256 + k:
            raise ExportError(f"the merge ({left}, {right}) appears twice in the model file")
        token = model.vocab.get(merged)
        if left >= merged or right >= merged or token is None:
            raise ExportError(f"the merge ({left}, {right}) -> {merged} uses a later token")
        if token != model.vocab[left] + model.vocab[right]:
            raise ExportError(f"a special token takes the merge id {merged}")
        if token in seen:
            raise ExportError(f"tokens {seen[token]} and {merged} have the same bytes {token!r}")
        seen[token] = merged
        if whole_tokens and reference_encode(token, model.merges) != [merged]:
            raise ExportError(f"the bytes of token {merged} ({token!r}) encode to other tokens")
    for text, special in model.special_tokens.items():
        if special <= 255 or special in model.merges.values():
            raise ExportError(f"the special token {text!r} takes the id {special} of a token")


def hf_tokenizer(model: Model) -> dict[str, Any]:
    """The content of a ``tokenizer.json`` for Hugging Face tokenizers."""
    check_exportable(model)
    alphabet = byte_alphabet()
    names = {token: "".join(alphabet[b] for b in model.vocab[token])
             for token in [*range(256), *model.merges.values()]}
    vocab = {name: token for token, name in names.items()}
    for text, special in model.special_tokens.items():
        # HF keeps an added token's id only when the model's vocabulary holds its text.
        if vocab.setdefault(text, special) != special:
            raise ExportError(f"the special token {text!r} has the text of token {vocab[text]}")
    byte_level = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": False,
                  "use_regex": False}
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [
            {"id": special, "content": text, "single_word": False, "lstrip": False,
             "rstrip": False, "normalized": False, "special": True}
            for text, special in model.special_tokens.items()
        ],
        "normalizer": None,
        "pre_tokenizer": byte_level,
        "post_processor": None,
        "decoder": byte_level,
        "model": {
            "type": "BPE", "dropout": None, "unk_token": None,
            "continuing_subword_prefix": None, "end_of_word_suffix": None, "fuse_unk": False,
            "byte_fallback": False, "ignore_merges": False,
            "vocab": vocab,
            # "left right" strings, which every version reads (no name holds a space).
            "merges": [f"{names[left]} {names[right]}" for left, right in model.merges],
        },
    }


def tiktoken_ranks(model: Model) -> str:
    """The ranks file: one line per token, its bytes in base64, a space and its id."""
    check_exportable(model, whole_tokens=True)
    return "".join(f"{base64.b64encode(model.vocab[token]).decode('ascii')} {token}\n"
                   for token in [*range(256), *model.merges.values()])


def special_tokens_path(ranks_path: str | Path) -> Path:
    """Where the special tokens of a ranks file go (tiktoken's format has no place for them)."""
    path = Path(ranks_path)
    return path.with_name(path.name + ".special.json")


def tiktoken_encoding(path: str | Path, name: str | None = None) -> tiktoken.Encoding:
    """A `tiktoken.Encoding` from a ranks file that ``pairloom export`` wrote, with the special
    tokens of its ``.special.json`` file when there is one. The pattern keeps the text whole."""
    import tiktoken

    ranks: dict[bytes, int] = {}
    for number, line in enumerate(Path(path).read_text(encoding="ascii").splitlines(), 1):
        fields = line.split()
        if len(fields) != 2 or not fields[1].isdigit():
            raise ValueError(f"{path}:{number}: not a ranks line")
        ranks[base64.b64decode(fields[0], validate=True)] = int(fields[1])
    specials_file = special_tokens_path(path)
    specials: dict[str, int] = {}
    if specials_file.exists():
        specials = json.loads(specials_file.read_text(encoding="utf-8"))
    return tiktoken.Encoding(name or Path(path).stem, pat_str=WHOLE_TEXT_PATTERN,
                             mergeable_ranks=ranks, special_tokens=specials)
