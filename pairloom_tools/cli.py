"""The ``pairloom`` command: train, encode, decode, export and inspect."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
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


def show_progress(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


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
    print(f"learned {trained.merges} merges in {seconds:.2f} s"
          f" ({size / 1e6 / max(seconds, 1e-9):.2f} MB/s); {size / max(trained.tokens, 1):.2f}"
          f" bytes per token on the training text; wrote {targets[0]} and {targets[1]}")


def encode(args: argparse.Namespace) -> None:
    from .encoding import encode_corpus

    paths = collect_paths(args.paths)
    total = sum(path.stat().st_size for path in paths)
    start = time.perf_counter()
    with progress(total, args.quiet, "encoding") as bar:
        ids_path, documents = encode_corpus(args.model, paths, args.output, args.jobs,
                                            args.dtype, args.errors, bar.update)
    seconds = time.perf_counter() - start
    tokens = sum(document.tokens for document in documents)
    plural = "s" if len(documents) != 1 else ""
    print(f"encoded {len(documents)} document{plural}, {total} bytes into {tokens} tokens in"
          f" {seconds:.2f} s with {args.jobs} jobs; wrote {ids_path}")


def decode(args: argparse.Namespace) -> None:
    import numpy as np

    from .model import Model

    model = Model.read(args.model)
    try:
        ids = np.load(args.ids, mmap_mode="r", allow_pickle=False)
    except OSError as error:
        raise ToolError(f"cannot read ids {args.ids}: {error.strerror or error}") from None
    except ValueError:
        raise ToolError(f"{args.ids}: not a .npy array of ids") from None
    if ids.ndim != 1 or ids.dtype.kind not in "iu":
        raise ToolError(f"{args.ids}: not a one-dimensional array of integers")
    unknown = [int(token) for token in np.unique(ids) if int(token) not in model.vocab]
    if unknown:
        raise ToolError(f"{args.ids}: id {unknown[0]} is not a token of {args.model}")
    with contextlib.ExitStack() as stack:
        if args.output is None:
            if sys.stdout is None:
                raise ToolError("standard output is closed: give --output FILE")
            out = sys.stdout.buffer
        else:
            (temporary,) = stack.enter_context(
                output_files(Path(args.output), inputs=(args.ids, args.model)))
            out = stack.enter_context(open(temporary, "wb"))
        if args.render:
            tokenizer = new_tokenizer(model_path=args.model)
            out.write(tokenizer.decode(ids.tolist()).encode("utf-8"))
        else:
            step = 1 << 20
            for begin in range(0, len(ids), step):
                out.write(model.decode_bytes(ids[begin:begin + step]))
        out.flush()


def export(args: argparse.Namespace) -> None:
    from . import export as exports
    from .model import Model

    model = Model.read(args.model)
    output = Path(args.output)
    if args.format == "hf":
        files = {output: json.dumps(exports.hf_tokenizer(model), ensure_ascii=False)}
    else:
        files = {output: exports.tiktoken_ranks(model)}
        if model.special_tokens:
            files[exports.special_tokens_path(output)] = json.dumps(model.special_tokens)
    with output_files(*files, inputs=(args.model,)) as temporaries:
        for temporary, content in zip(temporaries, files.values()):
            temporary.write_text(content, encoding="utf-8")
    print(f"wrote {', '.join(map(str, files))}: {256 + len(model.merges)} tokens,"
          f" {len(model.special_tokens)} special")


def inspect(args: argparse.Namespace) -> None:
    from .model import Model

    model = Model.read(args.model)
    # The text is read first: a fault in it stops the command before anything is shown.
    text = None if args.text is None else collect_text(args.text, args.errors)
    merged = list(model.merges.values())
    print(f"model: {args.model} (sha256 {model.sha256[:16]}...)")
    print(f"merges: {len(merged)}" + (f" (ids {min(merged)} to {max(merged)})" if merged else ""))
    print(f"special tokens: {len(model.special_tokens)}")
    for text, token in model.special_tokens.items():
        print(f"  {token}: {text!r}")
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
        tokenizer = new_tokenizer(model_path=args.model)
        size = len(text.encode("utf-8"))
        tokens = len(tokenizer.encode(text))
        print(f"bytes per token on {args.text}: {size / max(tokens, 1):.3f}"
              f" ({size} bytes, {tokens} tokens)")


def collect_text(path: str, errors: str) -> str:
    from .files import read_text

    return "".join(read_text(p, errors) for p in collect_paths([path]))  # type: ignore[arg-type]


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {message} (see {self.prog} --help)\n")


class Formatter(argparse.HelpFormatter):
    """argparse's help layout, with the terminal's width found without importing shutil (which
    argparse does for every argument added, a few milliseconds of every command's start)."""

    def __init__(self, prog: str) -> None:
        try:
            columns = int(os.environ["COLUMNS"])
        except (KeyError, ValueError):
            try:
                columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore
            except (AttributeError, ValueError, OSError):
                columns = 80
        super().__init__(prog, width=max(columns, 20) - 2)


def at_least(lowest: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        value = int(text)
        if value < lowest:
            raise argparse.ArgumentTypeError(f"must be at least {lowest}")
        return value
    convert.__name__ = "integer"
    return convert


def parser() -> argparse.ArgumentParser:
    from .encoding import default_jobs

    main = Parser(prog=PROG, description="Train, use and export pairloom byte-level BPE models.",
                  formatter_class=Formatter)
    commands = main.add_subparsers(dest="command", required=True, parser_class=Parser)

    def command(name: str, run: Callable[[argparse.Namespace], None], help: str,
                ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, formatter_class=Formatter)
        sub.set_defaults(run=run)
        return sub

    def reading(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--errors", choices=["strict", "replace"], default="strict",
                         help="a file that is not UTF-8: stop (strict) or use U+FFFD (replace)")

    sub = command("train", train, "learn merges from files; write PREFIX.model, PREFIX.vocab")
    sub.add_argument("--vocab-size", type=at_least(256), required=True)
    sub.add_argument("--threads", type=at_least(0), default=default_jobs(),
                     help="threads counting pairs (default: all cores)")
    sub.add_argument("--output", required=True, metavar="PREFIX")
    sub.add_argument("--quiet", action="store_true", help="no progress bar")
    reading(sub)
    sub.add_argument("paths", nargs="+", metavar="PATH", help="files or folders")

    sub = command("encode", encode, "encode each file as one document into OUT.npy")
    sub.add_argument("--model", required=True)
    sub.add_argument("--jobs", type=at_least(1), default=default_jobs(),
                     help="worker processes (default: all cores)")
    sub.add_argument("--dtype", choices=["auto", "uint16", "uint32"], default="auto")
    sub.add_argument("--output", required=True, metavar="OUT.npy")
    sub.add_argument("--quiet", action="store_true", help="no progress bar")
    reading(sub)
    sub.add_argument("paths", nargs="+", metavar="PATH", help="files or folders")

    sub = command("decode", decode, "write the text of an array of ids")
    sub.add_argument("--model", required=True)
    sub.add_argument("--render", action="store_true",
                     help="the tokenizer's printable rendering instead of the exact bytes")
    sub.add_argument("--output", help="file to write (default: standard output)")
    sub.add_argument("ids", metavar="IDS.npy")

    sub = command("export", export, "write the model for Hugging Face tokenizers or tiktoken")
    sub.add_argument("--model", required=True)
    sub.add_argument("--format", choices=["hf", "tiktoken"], required=True)
    sub.add_argument("--output", required=True, metavar="FILE")

    sub = command("inspect", inspect, "show a model's merges, special tokens and longest tokens")
    sub.add_argument("model", metavar="MODEL")
    sub.add_argument("--text", metavar="PATH", help="also show bytes per token on this text")
    sub.add_argument("--top", type=at_least(0), default=10, help="longest tokens to show")
    reading(sub)
    return main


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        args.run(args)
    except ToolError as error:
        return fail(str(error))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; no output written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`pairloom decode ... | head`): nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:
        return fail(str(error))
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
