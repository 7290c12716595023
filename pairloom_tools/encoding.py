"""Encoding many documents into one array of ids, on worker processes.

Each file is one document. The ids of all documents go, in path order, into one ``.npy`` file
whose header is written first and rewritten with the final length at the end; beside it go the
documents' offsets (``.offsets.npy``) and a manifest (``.json``). The command and its worker
processes load the model once each, and read, encode and store whole documents, longest first
so that none is left with a long document at the end; the ids are then copied in path order,
one document at a time. Memory follows the jobs and the longest document, not the corpus.

The arrays are written in numpy's .npy format without importing numpy: its import would be
most of the command's start-up, which no worker can share.
"""

from __future__ import annotations

import array
import contextlib
import itertools
import json
import os
import signal
import sys
from collections.abc import Callable, Generator, Iterator, Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

from .files import Errors, ToolError, atomic_outputs, read_text, scratch_folder
from .model import Model
from .native import new_tokenizer

if TYPE_CHECKING:
    import subprocess

def default_jobs() -> int:
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    return len(os.sched_getaffinity(0))


class IdType:
    """An element type of the id arrays: its numpy name and `array` type code."""

    def __init__(self, name: str, code: str, bits: int) -> None:
        self.name, self.code, self.bits = name, code, bits

    @property
    def descr(self) -> str:
        """The type as a .npy header names it (native byte order, as `array` packs it)."""
        order = "<" if sys.byteorder == "little" else ">"
        kind = "i" if self.code.islower() else "u"
        return f"{order}{kind}{self.bits // 8}"

    def pack(self, values: Sequence[int]) -> bytes:
        if self.code != "H":
            return array.array(self.code, values).tobytes()
        # array("H") checks each value's range the slow way; 32-bit values are packed twice as
        # fast, and their low halves taken. The ids were checked to fit when the type was chosen.
        wide = array.array("I", values).tobytes()
        narrow = bytearray(len(wide) // 2)
        low = 0 if sys.byteorder == "little" else 2
        narrow[0::2] = wide[low::4]
        narrow[1::2] = wide[low + 1::4]
        return bytes(narrow)


ID_TYPES = {"uint16": IdType("uint16", "H", 16), "uint32": IdType("uint32", "I", 32)}
OFFSET_TYPE = IdType("int64", "q", 64)


def choose_dtype(model: Model, dtype: str) -> IdType:
    """uint16 for `auto` when every id of the model fits, else uint32."""
    largest = model.max_id
    if dtype == "auto":
        dtype = "uint16" if largest < 1 << 16 else "uint32"
    chosen = ID_TYPES[dtype]
    if largest >= 1 << chosen.bits:
        raise ToolError(f"the model's ids go up to {largest}, which {dtype} cannot hold")
    return chosen


def output_paths(output: str | Path) -> tuple[Path, Path, Path]:
    """OUT.npy, OUT.offsets.npy and OUT.json for an output named OUT.npy (or OUT)."""
    ids = Path(output)
    if ids.suffix != ".npy":
        ids = ids.with_name(ids.name + ".npy")
    stem = ids.with_suffix("")
    return ids, stem.with_name(stem.name + ".offsets.npy"), stem.with_name(stem.name + ".json")


class NpyWriter:
    """A one-dimensional .npy array written piece by piece. The header leaves room for any
    length, and `close` rewrites it with the final one."""

    HEADER_SIZE = 128  # a multiple of 64, as numpy aligns the data

    def __init__(self, file: IO[bytes], dtype: IdType) -> None:
        self.file, self.dtype, self.length = file, dtype, 0
        self.file.write(self._header())

    def _header(self) -> bytes:
        text = f"{{'descr': '{self.dtype.descr}', 'fortran_order': False, 'shape': ({self.length},), }}"
        text = text.ljust(self.HEADER_SIZE - 11) + "\n"
        return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text.encode("ascii")

    def append(self, packed: bytes) -> None:
        self.file.write(packed)
        self.length += len(packed) * 8 // self.dtype.bits

    def append_file(self, path: Path) -> int:
        """Appends a file of packed ids, copied by the kernel where it can; returns how many."""
        self.file.flush()
        with open(path, "rb") as source:
            size = os.fstat(source.fileno()).st_size
            left = size
            copy = getattr(os, "copy_file_range", None)  # Linux only
            with contextlib.suppress(OSError):  # no such copy between these files: read them
                while copy is not None and left > 0:
                    copied: int = copy(source.fileno(), self.file.fileno(), left)
                    if copied == 0:
                        break
                    left -= copied
            self.file.seek(0, os.SEEK_END)  # the buffered file learns where the copy ended
            source.seek(size - left)
            while chunk := source.read(1 << 20):
                self.file.write(chunk)
        self.length += size * 8 // self.dtype.bits
        return size * 8 // self.dtype.bits

    def close(self) -> None:
        end = self.file.tell()
        self.file.seek(0)
        self.file.write(self._header())
        self.file.seek(end)


def write_npy(path: Path, dtype: IdType, values: Sequence[int]) -> None:
    with open(path, "wb") as file:
        writer = NpyWriter(file, dtype)
        writer.append(dtype.pack(values))
        writer.close()


def write_offsets(path: Path, counts: Sequence[int]) -> None:
    """Document i of the concatenated ids is ids[offsets[i]:offsets[i + 1]]."""
    write_npy(path, OFFSET_TYPE, [0, *itertools.accumulate(counts)])


def load_encoder(model_path: str) -> Callable[[str], list[int]]:
    return new_tokenizer(model_path=model_path).encode


def encode_file(
    encode: Callable[[str], list[int]], path: str, dtype: IdType, errors: Errors
) -> bytes:
    """One document's ids, packed as `dtype`."""
    return dtype.pack(encode(read_text(path, errors)))


class Document:
    """One encoded file: its path, size in bytes and count of tokens, as the manifest lists it."""

    def __init__(self, path: str, size: int, tokens: int) -> None:
        self.path, self.bytes, self.tokens = path, size, tokens

    def __repr__(self) -> str:
        return f"Document({self.path!r}, {self.bytes}, {self.tokens})"


def write_manifest(
    path: Path, model_path: str | Path, model: Model, dtype: IdType,
    documents: Sequence[Document], **extra: object,
) -> None:
    manifest = {
        "model": {"path": str(model_path), "sha256": model.sha256},
        "dtype": dtype.name,
        "documents": [vars(document) for document in documents],
        "tokens": sum(document.tokens for document in documents),
        **extra,
    }
    path.write_text(json.dumps(manifest, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")


def encode_corpus(
    model_path: str | Path,
    paths: Sequence[Path],
    output: str | Path,
    jobs: int,
    dtype: str = "auto",
    errors: Errors = "strict",
    progress: Callable[[int], object] | None = None,
    model: Model | None = None,
) -> tuple[Path, list[Document]]:
    """Encode every file as one document into OUT.npy, OUT.offsets.npy and OUT.json; returns
    the ids file and the documents. `progress` is told the byte size of each finished file;
    `model`, when given, is the model file already read."""
    model = model or Model.load(model_path)
    chosen = choose_dtype(model, dtype)
    targets = output_paths(output)
    sizes = [path.stat().st_size for path in paths]
    documents: list[Document] = []
    with atomic_outputs(*targets) as (ids_tmp, offsets_tmp, manifest_tmp):
        with open(ids_tmp, "wb") as file:
            writer = NpyWriter(file, chosen)
            encoded = _encoded(str(model_path), paths, sizes, jobs, chosen, errors,
                               ids_tmp.parent, progress or (lambda _: None))
            # Closed on the way out, so that a failure ends the worker processes at once.
            with contextlib.closing(encoded):
                for path, size, packed in zip(paths, sizes, encoded):
                    if isinstance(packed, Path):
                        tokens = writer.append_file(packed)
                    else:
                        writer.append(packed)
                        tokens = len(packed) * 8 // chosen.bits
                    documents.append(Document(str(path), size, tokens))
            writer.close()
        write_offsets(offsets_tmp, [document.tokens for document in documents])
        write_manifest(manifest_tmp, model_path, model, chosen, documents)
    return targets[0], documents


# The command's own documents are kept in memory up to this many bytes of ids; past it they
# go through part files like the workers' documents.
HELD_BYTES = 256 << 20


def _claimed(folder: str, order: Sequence[int]) -> Iterator[tuple[int, int]]:
    """The documents this process gets to encode, with their part files open for writing.
    Every process walks the same order (longest first, so that none is left with a long
    document at the end) and takes a document by creating its part file: only one can."""
    for index in order:
        try:
            fd = os.open(os.path.join(folder, str(index)), os.O_WRONLY | os.O_CREAT | os.O_EXCL,
                         0o600)
        except FileExistsError:
            continue
        yield index, fd


def _work(model_path: str, paths: Sequence[str], order: Sequence[int], folder: str,
          dtype: str, errors: Errors, report: int) -> int:
    """A worker process: encodes the documents it takes into their part files and reports
    each one's index on the `report` pipe as a line "done INDEX", or the failure that stopped
    it as "error MESSAGE". Returns the process's exit status."""
    try:
        encode = load_encoder(model_path)
        for index, fd in _claimed(folder, order):
            with open(fd, "wb") as file:
                file.write(encode_file(encode, paths[index], ID_TYPES[dtype], errors))
            os.write(report, f"done {index}\n".encode())
        return 0
    except BaseException as error:  # noqa: BLE001 - reported to the command, which raises it
        message = str(error) if isinstance(error, ToolError) else f"{type(error).__name__}: {error}"
        os.write(report, f"error {' '.join(message.splitlines())}\n".encode(errors="replace"))
        return 1


class _Worker:
    """A worker process running `_work`: forked where that is safe (it then starts at once,
    with the modules already imported), else a new interpreter."""

    def __init__(self, arguments: dict[str, Any], report: int) -> None:
        self.pid = 0
        self.process: subprocess.Popen[bytes] | None = None
        if _can_fork():
            self.pid = os.fork()
            if self.pid == 0:
                status = 1
                try:
                    signal.signal(signal.SIGINT, signal.SIG_IGN)
                    status = _work(**arguments, report=report)
                finally:
                    os._exit(status)  # nothing of the command's (buffers, handlers) runs twice
        else:
            import subprocess

            # The new interpreter looks for this package where this one found it.
            boot = ("import json, sys; sys.path[:0] = json.loads(sys.argv[1]);"
                    f" from {__name__} import _main; sys.exit(_main(sys.argv[2:]))")
            self.process = subprocess.Popen(
                [sys.executable, "-c", boot, json.dumps(sys.path), json.dumps(arguments),
                 str(report)], pass_fds=(report,), stdin=subprocess.DEVNULL)

    def wait(self) -> int:
        """The exit status, negative for the signal that ended the process."""
        if self.process is not None:
            return self.process.wait()
        _, status = os.waitpid(self.pid, 0)
        return os.waitstatus_to_exitcode(status)

    def kill(self) -> None:
        with contextlib.suppress(OSError):
            if self.process is not None:
                self.process.kill()
            else:
                os.kill(self.pid, signal.SIGKILL)


def _can_fork() -> bool:
    """Forking a process with other threads may leave the child holding a lock for ever."""
    threading = sys.modules.get("threading")
    return hasattr(os, "fork") and (threading is None or threading.active_count() == 1)


def _encoded(
    model_path: str,
    paths: Sequence[Path],
    sizes: Sequence[int],
    jobs: int,
    dtype: IdType,
    errors: Errors,
    scratch: Path,
    progress: Callable[[int], object],
) -> Generator[bytes | Path, None, None]:
    """The documents' packed ids in path order, or the part files that hold them. With more
    than one job the command encodes too, beside `jobs - 1` worker processes that hand back
    their documents in part files."""
    if jobs <= 1 or len(paths) <= 1:
        encode = load_encoder(model_path)
        for path, size in zip(paths, sizes):
            packed = encode_file(encode, str(path), dtype, errors)
            progress(size)
            yield packed
        return
    held: dict[int, bytes] = {}
    with scratch_folder(scratch, ".pairloom-") as folder:
        arguments: dict[str, Any] = {
            "model_path": model_path, "paths": [str(path) for path in paths],
            "order": sorted(range(len(paths)), key=lambda index: -sizes[index]),
            "folder": str(folder), "dtype": dtype.name, "errors": errors}
        receive, send = os.pipe()
        workers: list[_Worker] = []
        try:
            try:
                for _ in range(min(jobs, len(paths)) - 1):
                    workers.append(_Worker(arguments, send))
            finally:
                os.close(send)  # the pipe ends when every worker has ended
            os.set_blocking(receive, False)
            reports = _Reports(receive, lambda index: progress(sizes[index]))
            encode = load_encoder(model_path)  # while the workers load theirs
            held_bytes = 0
            for index, fd in _claimed(arguments["folder"], arguments["order"]):
                with open(fd, "wb") as file:
                    packed = encode_file(encode, arguments["paths"][index], dtype, errors)
                    if held_bytes + len(packed) <= HELD_BYTES:
                        held[index] = packed
                        held_bytes += len(packed)
                    else:
                        file.write(packed)
                progress(sizes[index])
                reports.read()
            os.set_blocking(receive, True)
            reports.read()
            for worker in workers:
                if (status := worker.wait()) != 0:
                    raise ToolError(f"a worker process ended with status {status}")
            workers.clear()
        finally:
            for worker in workers:
                worker.kill()
                worker.wait()
            os.close(receive)
        for index in range(len(paths)):
            if index in held:
                yield held.pop(index)
                continue
            yield folder / str(index)


class _Reports:
    """The lines workers write on the report pipe: "done INDEX" or "error MESSAGE"."""

    def __init__(self, fd: int, done: Callable[[int], object]) -> None:
        self.fd, self.done, self.pending = fd, done, b""

    def read(self) -> None:
        """Handles what has arrived; on a blocking pipe, everything until it ends. Raises a
        worker's failure as `ToolError`."""
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                return
            if not chunk:
                return
            *lines, self.pending = (self.pending + chunk).split(b"\n")
            for line in lines:
                kind, _, rest = line.decode(errors="replace").partition(" ")
                if kind == "error":
                    raise ToolError(rest)
                self.done(int(rest))


def _main(argv: Sequence[str]) -> int:
    """A worker started as a new interpreter, given `_work`'s arguments and the report pipe."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    return _work(**json.loads(argv[0]), report=int(argv[1]))
