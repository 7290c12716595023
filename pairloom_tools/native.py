"""The extension module's tokenizer, as the tools use it."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Protocol, cast


class Tokenizer(Protocol):
    def train(self, text: str, vocab_size: int) -> None: ...
    def encode(self, text: str) -> list[int]: ...
    def decode(self, ids: Sequence[int]) -> str: ...
    def load(self, model_file_path: str) -> None: ...
    def save(self, model_file_path: str, vocab_file_path: str | None) -> None: ...


def new_tokenizer(num_threads: int = 1, model_path: str | None = None) -> Tokenizer:
    """A `pairloom.BasicTokenizer`, with the model file at `model_path` loaded when given."""
    import pairloom

    tokenizer = cast(Tokenizer, getattr(pairloom, "BasicTokenizer")(num_threads))
    if model_path is not None:
        tokenizer.load(model_path)
    return tokenizer
