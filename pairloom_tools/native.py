"""The extension module as the tools use it: the class's tokenizer, and how long one training
step of `pairloom_tools._native` should take for a smooth progress bar."""

from __future__ import annotations

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

