"""The extension module's tokenizer, as the tools use it."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pairloom import BasicTokenizer


def new_tokenizer(num_threads: int = 1, model_path: str | None = None) -> BasicTokenizer:
    """A `pairloom.BasicTokenizer`, with the model file at `model_path` loaded when given."""
    # Imported here, so that the command starts (and reports a bad argument) without it.
    import pairloom

    tokenizer = pairloom.BasicTokenizer(num_threads)
    if model_path is not None:
        tokenizer.load(model_path)
    return tokenizer
