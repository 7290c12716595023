"""The extension modules as the tools use them: the class's tokenizer, and its training in
steps (`pairloom_tools._native`) for a progress bar."""

from __future__ import annotations

import time
from collections.abc import Callable
from pathlib import Path
TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time

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


#: A call of `Trainer.step` should take about this long (the merges it learns vary from
#: thousands a second to a few): long enough to cost the training nothing, short enough for the
#: bar to move smoothly. Ctrl-C does not wait for it: the trainer polls for signals within steps.
STEP_SECONDS = (0.05, 0.2)


def train_files(text: str, vocab_size: int, num_threads: int, model_path: str | Path,
                vocab_path: str | Path, advance: Callable[[int], object]) -> None:
    """Writes what ``BasicTokenizer(num_threads)`` writes by `save` after training on `text`,
    calling `advance(n)` as merges are learned. Ctrl-C raises KeyboardInterrupt promptly."""
    try:
        from ._native import Trainer
    except ModuleNotFoundError as error:
        if error.name != f"{__package__}._native":
            raise
        # The pairloom module built on its own, without the tools' part: one call, no progress.
        tokenizer = new_tokenizer(num_threads)
        tokenizer.train(text, vocab_size)
        tokenizer.save(str(model_path), str(vocab_path))
        return
    trainer = Trainer(text, vocab_size, num_threads)
    chunk = 1
    while True:
        start = time.perf_counter()
        learned = trainer.step(chunk)
        if not learned:
            break
        advance(learned)
        elapsed = time.perf_counter() - start
        if elapsed < STEP_SECONDS[0]:
            chunk *= 2
        elif elapsed > STEP_SECONDS[1] and chunk > 1:
            chunk //= 2
    trainer.save(str(model_path), str(vocab_path))
