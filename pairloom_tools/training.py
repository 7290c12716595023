"""Training from files as the command line does it: the files' bytes read into one buffer and
checked as UTF-8 without ever becoming a str, the trainer fed from that buffer, and a bar of
merges whose rate and time left come from the last few seconds of the training."""

from __future__ import annotations

import os
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from .files import ToolError
from .native import STEP_SECONDS, new_tokenizer

TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time
if TYPE_CHECKING:
    from typing import Any

    from .files import Errors

NOT_UTF8 = "{path}: not UTF-8 at byte offset {offset} (--errors replace substitutes U+FFFD)"


def read_corpus(paths: Sequence[Path], errors: Errors = "strict",
                advance: Callable[[int], object] = lambda count: None) -> bytearray:
    """The files' bytes, one after the other, in one buffer: as the files' text would encode,
    with what is not UTF-8 refused (`errors` "strict", naming the file and byte offset) or
    replaced by U+FFFD ("replace"). A file whose size or time of change moves while it is read
    is refused: the buffer would mix two versions of it. Calls `advance(n)` as bytes come in."""
    sizes = []
    for path in paths:
        try:
            sizes.append(os.stat(path).st_size)
        except OSError as error:
            raise ToolError(f"{path}: {error.strerror or error}") from None
    data = bytearray(sum(sizes))
    at = 0
    for path, size in zip(paths, sizes):
        with memoryview(data) as view:
            read_file(path, view[at:at + size], advance)
        offset = utf8_error(data, at, at + size)
        if offset is not None:
            if errors == "strict":
                raise ToolError(NOT_UTF8.format(path=path, offset=offset))
            replaced = utf8_replace(data, at, at + size)
            data[at:at + size] = replaced  # moves the slots of the files still to read
            size = len(replaced)
        at += size
    return data


def read_file(path: Path, into: memoryview, advance: Callable[[int], object]) -> None:
    """Fills `into` with the whole of the file at `path`, which must be exactly that long."""
    try:
        with open(path, "rb", buffering=0) as file:
            before = os.fstat(file.fileno())
            got = 0
            while got < len(into) and before.st_size == len(into):
                count = file.readinto(into[got:])
                if not count:
                    break
                got += count
                advance(count)
            after = os.fstat(file.fileno())
            longer = got == len(into) and file.read(1) != b""
    except OSError as error:
        raise ToolError(f"{path}: {error.strerror or error}") from None
    if (got != len(into) or longer or (before.st_size, before.st_mtime_ns)
            != (after.st_size, after.st_mtime_ns)):
        raise ToolError(f"{path}: the file changed while it was read")


def utf8_error(data: bytearray, start: int, stop: int) -> int | None:
    try:
        from ._native import utf8_error as native_error
    except ModuleNotFoundError as error:
        if error.name != f"{__package__}._native":
            raise
        try:
            bytes(data[start:stop]).decode("utf-8")
        except UnicodeDecodeError as fault:
            return fault.start
        return None
    return native_error(data, start, stop)


def utf8_replace(data: bytearray, start: int, stop: int) -> bytes:
    try:
        from ._native import utf8_replace as native_replace
    except ModuleNotFoundError as error:
        if error.name != f"{__package__}._native":
            raise
        return bytes(data[start:stop]).decode("utf-8", "replace").encode("utf-8")
    return native_replace(data, start, stop)


@dataclass
class Trained:
    merges: int  #: merges learned
    tokens: int  #: tokens of the text's encoding by the model learned


def train_buffer(data: bytearray, vocab_size: int, num_threads: int, model_path: str | Path,
                 vocab_path: str | Path, bar: Any = None) -> Trained:
    """Writes what ``BasicTokenizer(num_threads)`` writes by `save` after training on the
    UTF-8 text `data` holds, and empties `data` as soon as the trainer has taken the text in.
    `bar`, when given, is a `MergeBar`. Ctrl-C raises KeyboardInterrupt promptly."""
    try:
        from ._native import Trainer
    except ModuleNotFoundError as error:
        if error.name != f"{__package__}._native":
            raise
        # The pairloom module built on its own, without the tools' part: one call, no progress.
        text = data.decode("utf-8")
        data.clear()
        tokenizer = new_tokenizer(num_threads)
        tokenizer.train(text, vocab_size)
        tokenizer.save(str(model_path), str(vocab_path))
        from .model import Model

        return Trained(len(Model.load(model_path).merges), len(tokenizer.encode(text)))
    trainer = Trainer(data, vocab_size, num_threads)
    data.clear()
    if bar is not None:
        bar.start(vocab_size - 256)
    chunk = 1
    while True:
        start = time.perf_counter()
        learned = trainer.step(chunk)
        if not learned:
            break
        if bar is not None:
            bar.update(learned)
        elapsed = time.perf_counter() - start
        if elapsed < STEP_SECONDS[0]:
            chunk *= 2
        elif elapsed > STEP_SECONDS[1] and chunk > 1:
            chunk //= 2
    if bar is not None:
        bar.finish()
    trainer.save(str(model_path), str(vocab_path))
    # A fresh training leaves its text rewritten by every merge it learned, in the order
    # learned: the very sequence that encoding the text with the model gives.
    return Trained(trainer.learned, trainer.tokens)


class RecentRate:
    """Work per second over the last `window` seconds: training's steps grow faster as the
    pairs left grow rarer, so the rate of the whole run so far would understate the present
    one, and its time left overstate what is left."""

    def __init__(self, window: float = 10.0) -> None:
        self.window = window
        self._points: deque[tuple[float, int]] = deque()

    def add(self, when: float, done: int) -> None:
        """Records that `done` units were done by time `when` (both never decreasing)."""
        self._points.append((when, done))
        # The oldest point kept is the last one at least a window old, so the span read
        # covers the whole window once there is one.
        while len(self._points) > 2 and self._points[1][0] <= when - self.window:
            self._points.popleft()

    def rate(self) -> float | None:
        if len(self._points) < 2:
            return None
        (first, done_first), (last, done_last) = self._points[0], self._points[-1]
        return (done_last - done_first) / (last - first) if last > first else None

    def clear(self) -> None:
        self._points.clear()


class MergeBar:
    """The bar of `pairloom train`: "counting" while the trainer counts the text's pairs, then
    the merges, with its clock started when the first merge starts and its rate and time left
    taken from `RecentRate`."""

    def __init__(self, bar: Any, rate: RecentRate) -> None:
        self._bar = bar
        self._rate = rate

    def start(self, total: int) -> None:
        self._bar.set_description("merges", refresh=False)
        self._bar.bar_format = None
        self._bar.reset(total=total)
        self._rate.clear()
        self._rate.add(time.monotonic(), 0)

    def update(self, count: int) -> None:
        self._bar.update(count)

    def finish(self) -> None:
        """The training ended: what was done is all there was to do (it may run out of pairs
        before the merges asked for)."""
        self._bar.total = self._bar.n
        self._bar.refresh()


@contextmanager
def merge_bar(show: bool, file: Any) -> Iterator[MergeBar | None]:
    """A `MergeBar` on `file` when `show`, else None."""
    if not show:
        yield None
        return
    from tqdm import tqdm  # type: ignore[import-untyped]

    rate = RecentRate()

    class RecentTqdm(tqdm):  # type: ignore[misc]
        @property
        def format_dict(self) -> dict[str, Any]:
            shown = super().format_dict
            rate.add(time.monotonic(), shown["n"])
            shown["rate"] = rate.rate()
            return shown  # type: ignore[no-any-return]

    tqdm.monitor_interval = 0  # no monitor thread
    with RecentTqdm(total=None, desc="counting pairs", unit="merge", file=file,
                    bar_format="{desc}") as bar:  # nothing moves while counting
        yield MergeBar(bar, rate)
