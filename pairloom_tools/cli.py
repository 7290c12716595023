"""The ``pairloom`` command: train, encode, decode, export and inspect."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import signal
import struct
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from .files import ToolError, collect_paths, printable
from .native import new_tokenizer
from .outputs import output_files

TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time
if TYPE_CHECKING:
    from typing import Any, NoReturn

PROG = "pairloom"


#: The largest count the module takes (its sizes are as wide as the platform's size type).
SIZE_MAX = 2 ** (8 * struct.calcsize("P")) - 1


class Terminated(BaseException):
    """SIGTERM, raised where the command is so that it cleans up as after Ctrl-C."""


def show_progress(quiet: bool) -> bool:
    return not quiet and sys.stderr is not None and sys.stderr.isatty()


class Bar:
    """Counts of something done, shown as a tqdm bar on stderr when it is a terminal."""

    def __init__(self, bar: Any = None) -> None:
        self._bar = bar

    def update(self, count: int) -> None:
        if self._bar is not None:
            self._bar.update(count)

    def finish(self) -> None:
        """The work ended early: what was done is all there was to do."""
        if self._bar is not None:
            self._bar.total = self._bar.n
            self._bar.refresh()


@contextlib.contextmanager
def progress(total: int, quiet: bool, what: str, unit: str = "B") -> Iterator[Bar]:
    if not show_progress(quiet):
        yield Bar()
        return
    from tqdm import tqdm  # type: ignore[import-untyped]

    tqdm.monitor_interval = 0  # no monitor thread: the encoder forks its workers
    with tqdm(total=total, unit=unit, unit_scale=unit == "B", desc=what, file=sys.stderr) as bar:
        yield Bar(bar)


def train(args: argparse.Namespace) -> None:
    from .training import merge_bar, read_corpus, train_buffer

    paths = collect_paths(args.paths)
    total = sum(path.stat().st_size for path in paths)
    with progress(total, args.quiet, "reading") as bar:
        data = read_corpus(paths, args.errors, bar.update)
    size = len(data)
    prefix = args.output
    targets = (Path(prefix + ".model"), Path(prefix + ".vocab"))
    with output_files(*targets, inputs=paths) as (model_tmp, vocab_tmp):
        start = time.perf_counter()
        with merge_bar(show_progress(args.quiet), sys.stderr) as bar:
            # Takes `data` over: it is emptied once the trainer holds the text.
            trained = train_buffer(data, args.vocab_size, args.threads, model_tmp, vocab_tmp,
                                   bar)
        seconds = time.perf_counter() - start
    args.written.extend(targets)
    print(f"learned {trained.merges} merges in {seconds:.2f} s"
          f" ({size / 1e6 / max(seconds, 1e-9):.2f} MB/s); {size / max(trained.tokens, 1):.2f}"
          f" bytes per token on the training text; wrote {printable(targets[0])} and"
          f" {printable(targets[1])}")


def encode(args: argparse.Namespace) -> None:
    from .encoding import encode_corpus

    paths = collect_paths(args.paths)
    total = sum(path.stat().st_size for path in paths)
    start = time.perf_counter()
    with progress(total, args.quiet, "encoding") as bar:
        ids_path, documents = encode_corpus(args.model, paths, args.output, args.jobs,
                                            args.dtype, args.errors, bar.update)
    args.written.append(ids_path)
    seconds = time.perf_counter() - start
    tokens = sum(document.tokens for document in documents)
    plural = "s" if len(documents) != 1 else ""
    print(f"encoded {len(documents)} document{plural}, {total} bytes into {tokens} tokens in"
          f" {seconds:.2f} s with {args.jobs} jobs; wrote {printable(ids_path)}")


def decode(args: argparse.Namespace) -> None:
    import numpy as np

    from .encoding import check_recorded_model, read_ids
    from .model import Model

    model = Model.read(args.model)
    check_recorded_model(args.ids, model, args.force)
    # Every id is checked before anything is written, on standard output too.
    for chunk in read_ids(args.ids):
        unknown = [int(token) for token in np.unique(chunk) if int(token) not in model.vocab]
        if unknown:
            raise ToolError(f"{args.ids}: id {unknown[0]} is not a token of {args.model}")
    with contextlib.ExitStack() as stack:
        if args.output is None:
            if sys.stdout is None:
                raise ToolError("standard output is closed: give --output FILE")
            out = sys.stdout.buffer
        else:
            (temporary,) = stack.enter_context(
                output_files(args.output, inputs=(args.ids, args.model)))
            out = stack.enter_context(open(temporary, "wb"))
        if args.render:
            with model.file() as private:
                render = new_tokenizer(model_path=private).decode
        for chunk in read_ids(args.ids):
            try:
                data = render(chunk.tolist()).encode("utf-8") if args.render else \
                    model.decode_bytes(chunk)
            except (ValueError, OSError):  # a token the first reading did not have
                raise ToolError(f"{args.ids}: changed while read") from None
            out.write(data)
        out.flush()
    if args.output is not None:
        args.written.append(args.output)


def export(args: argparse.Namespace) -> None:
    from . import export as exports
    from .model import Model

    model = Model.read(args.model)
    output = Path(args.output)
    stale = []
    if args.format == "hf":
        files = {output: json.dumps(exports.hf_tokenizer(model), ensure_ascii=False)}
    else:
        files = {output: exports.tiktoken_ranks(model)}
        specials = exports.special_tokens_path(output)
        if model.special_tokens:
            files[specials] = json.dumps(model.special_tokens)
        else:  # one from an earlier export would give this model special tokens
            stale.append(specials)
    with output_files(*files, inputs=(args.model,), remove=stale) as temporaries:
        for temporary, content in zip(temporaries, files.values()):
            temporary.write_text(content, encoding="utf-8")
    args.written.extend(files)
    print(f"wrote {', '.join(map(printable, files))}: {256 + len(model.merges)} tokens,"
          f" {len(model.special_tokens)} special")


def inspect(args: argparse.Namespace) -> None:
    from .model import Model

    model = Model.read(args.model)
    # The text is read first: a fault in it stops the command before anything is shown.
    text = None if args.text is None else collect_text(args.text, args.errors)
    merged = list(model.merges.values())
    print(f"model: {printable(args.model)} (sha256 {model.sha256[:16]}...)")
    print(f"merges: {len(merged)}" + (f" (ids {min(merged)} to {max(merged)})" if merged else ""))
    print(f"special tokens: {len(model.special_tokens)}")
    for special, token in model.special_tokens.items():
        print(f"  {token}: {special!r}")
    print(f"pattern: {model.pattern!r}")
    longest = sorted(merged, key=lambda token: (-len(model.vocab.get(token, b"")), token))
    print(f"longest tokens (of {len(model.vocab)}):")
    for token in longest[: args.top]:
        data = model.vocab.get(token, b"")
        try:
            shown = repr(data.decode("utf-8"))
        except UnicodeDecodeError:
            shown = repr(data)
        print(f"  {token:>7} {len(data):>4} bytes  {shown}")
    if text is not None:
        with model.file() as private:
            tokenizer = new_tokenizer(model_path=private)
        size = len(text.encode("utf-8"))
        tokens = len(tokenizer.encode(text))
        print(f"bytes per token on {printable(args.text)}: {size / max(tokens, 1):.3f}"
              f" ({size} bytes, {tokens} tokens)")


def collect_text(path: str, errors: str) -> str:
    from .files import read_text

    return "".join(read_text(p, errors) for p in collect_paths([path]))  # type: ignore[arg-type]


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {printable(message)} (see {self.prog} --help)\n")


def integer(lowest: int, highest: int = SIZE_MAX) -> Callable[[str], int]:
    def convert(text: str) -> int:
        value = int(text)
        if not lowest <= value <= highest:
            raise argparse.ArgumentTypeError(f"must be from {lowest} to {highest}")
        return value
    convert.__name__ = "integer"
    return convert


class Version(argparse.Action):
    """--version, with the installed version looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **_: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        from importlib import metadata

        try:
            found = metadata.version("pairloom")
        except metadata.PackageNotFoundError:  # a source tree that was never installed
            found = "unknown (not installed)"
        parser.exit(message=f"{PROG} {found}\n")


def parser() -> argparse.ArgumentParser:
    from .encoding import default_jobs

    main = Parser(prog=PROG, description="Train, use and export pairloom byte-level BPE models.")
    main.add_argument("--version", action=Version)
    commands = main.add_subparsers(dest="command", required=True, parser_class=Parser)

    def command(name: str, run: Callable[[argparse.Namespace], None], help: str,
                ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        return sub

    def reading(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--errors", choices=["strict", "replace"], default="strict",
                         help="a file that is not UTF-8: stop (strict) or use U+FFFD (replace)")

    def model(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--model", required=True, metavar="MODEL",
                         help="the model file (as `pairloom train` writes it)")

    quiet = "no progress bar"
    inputs = "files, or folders standing for the files in them"
    sub = command("train", train, "learn merges from files; write PREFIX.model, PREFIX.vocab")
    sub.add_argument("--vocab-size", type=integer(256), required=True,
                     help="tokens in the vocabulary: 256 bytes and the merges to learn")
    sub.add_argument("--threads", type=integer(0), default=default_jobs(),
                     help="threads counting pairs (default: all cores)")
    sub.add_argument("--output", required=True, metavar="PREFIX",
                     help="write PREFIX.model and PREFIX.vocab")
    sub.add_argument("--quiet", action="store_true", help=quiet)
    reading(sub)
    sub.add_argument("paths", nargs="+", metavar="PATH", help=inputs)

    sub = command("encode", encode, "encode each file as one document into OUT.npy")
    model(sub)
    sub.add_argument("--jobs", type=integer(1), default=default_jobs(),
                     help="worker processes (default: all cores)")
    sub.add_argument("--dtype", choices=["auto", "uint16", "uint32"], default="auto",
                     help="type of the ids (auto: uint16 when the model's ids fit)")
    sub.add_argument("--output", required=True, metavar="OUT.npy",
                     help="write the ids to OUT.npy, their offsets to OUT.offsets.npy and a"
                          " manifest to OUT.json")
    sub.add_argument("--quiet", action="store_true", help=quiet)
    reading(sub)
    sub.add_argument("paths", nargs="+", metavar="PATH", help=inputs)

    sub = command("decode", decode, "write the text of an array of ids")
    model(sub)
    sub.add_argument("--render", action="store_true",
                     help="the tokenizer's printable rendering instead of the exact bytes")
    sub.add_argument("--force", action="store_true",
                     help="decode even when the ids' manifest names another model")
    sub.add_argument("--output", metavar="FILE", help="file to write (default: standard output)")
    sub.add_argument("ids", metavar="IDS.npy", help="ids as `pairloom encode` writes them")

    sub = command("export", export, "write the model for Hugging Face tokenizers or tiktoken")
    model(sub)
    sub.add_argument("--format", choices=["hf", "tiktoken"], required=True,
                     help="hf: a tokenizer.json; tiktoken: a ranks file (and FILE.special.json)")
    sub.add_argument("--output", required=True, metavar="FILE", help="file to write")

    sub = command("inspect", inspect, "show a model's merges, special tokens and longest tokens")
    sub.add_argument("model", metavar="MODEL", help="the model file")
    sub.add_argument("--text", metavar="PATH", help="also show bytes per token on this text")
    sub.add_argument("--top", type=integer(0), default=10, help="longest tokens to show")
    reading(sub)
    return main


def _terminate(signum: int, frame: object) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    args.written = []  # outputs in place, for the message after an interruption
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        args.run(args)
    except ToolError as error:
        return fail(str(error))
    except (KeyboardInterrupt, Terminated) as stop:
        what = "interrupted" if isinstance(stop, KeyboardInterrupt) else "terminated"
        done = ("wrote " + ", ".join(map(printable, args.written)) if args.written
                else "no output written")
        say(sys.stderr, f"{PROG}: {what}; {done}")
        return 130 if isinstance(stop, KeyboardInterrupt) else 128 + signal.SIGTERM
    except BrokenPipeError:
        # The reader went away (`pairloom decode ... | head`): nothing more to say.
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:
        return fail(str(error))
    except MemoryError:
        return fail("out of memory (the input is too large for this machine's memory)")
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 0


def run() -> NoReturn:
    """The console script: `main`, then an exit without the interpreter's teardown, which frees
    every object one by one and costs a short command a good share of its time. Every file the
    command wrote is closed and in place by then; only the standard streams are flushed."""
    code = main()
    try:
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:  # None: the descriptor was closed when the command started
                stream.flush()
    except OSError:  # as the interpreter reports output it could not write at its exit
        code = code or 120
    os._exit(code)


def fail(message: str) -> int:
    say(sys.stderr, f"{PROG}: error: {printable(message)}")
    return 2


def say(stream: Any, line: str) -> None:
    """Writes one line to a standard stream that may be closed, or a pipe whose reader left."""
    if stream is None:
        return
    try:
        print(line, file=stream, flush=True)
    except (OSError, ValueError):
        pass
