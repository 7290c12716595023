"""Encoding many documents into one array of ids, on several processes.

Each file is one document. The ids of all documents go, in path order, into one ``.npy`` file;
beside it go the documents' offsets (``.offsets.npy``) and a manifest (``.json``). On one
process the ids are appended document by document and the header is rewritten with the final
length at the end. On several, the command and its workers each load the model once, take
whole documents (longest first, so that none is left with a long one at the end) and keep
their ids; when every count is known, each writes its own documents at their places in the
file. Memory follows the jobs and a bound per process, not the corpus.

The arrays are written in numpy's .npy format without importing numpy: its import would be
most of the command's start-up, which no worker can share.
"""

from __future__ import annotations

import array
import hashlib
import tempfile
import contextlib
import itertools
import json
import os
import signal
import sys
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from .files import ToolError, decode_text, read_bytes, read_text
from .outputs import output_files
from .native import new_tokenizer

TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time
if TYPE_CHECKING:
    from typing import IO, Any

    import subprocess

    from ._native import Encoder
    from .files import Errors

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


def choose_dtype(largest: int, dtype: str) -> IdType:
    """uint16 for `auto` when every id up to `largest`, a model's largest, fits; else uint32."""
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
        return self.header(self.dtype, self.length)

    @classmethod
    def header(cls, dtype: IdType, length: int) -> bytes:
        """The header of an array of `length` values of `dtype`, always HEADER_SIZE bytes."""
        text = f"{{'descr': '{dtype.descr}', 'fortran_order': False, 'shape': ({length},), }}"
        text = text.ljust(cls.HEADER_SIZE - 11) + "\n"
        return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text.encode("ascii")

    def append(self, packed: bytes) -> None:
        self.file.write(packed)
        self.length += len(packed) * 8 // self.dtype.bits

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


class FileEncoder:
    """A model's encoding of whole files, each file's ids packed as an `IdType`. It goes through
    the tools' native encoder when that is built: no list of ints per document, and files that
    are UTF-8 are encoded from their bytes without being decoded. Else through the class.
    A model that cannot be loaded raises `ToolError`."""

    def __init__(self, model_path: str | Path) -> None:
        model_path = str(model_path)
        try:
            from ._native import Encoder
        except ModuleNotFoundError as error:
            if error.name != f"{__package__}._native":
                raise
            from .model import Model

            #: The largest id of the model: of its bytes, merges and special tokens.
            self.largest_id = Model.read(model_path).max_id
            self._native: Encoder | None = None
            self._encode = new_tokenizer(model_path=model_path).encode
        else:
            try:
                self._native = Encoder(model_path)
            except OSError as error:  # the class's own messages, for reading and content alike
                raise ToolError(f"cannot load model {model_path}: {error}") from None
            self.largest_id = self._native.largest_id

    def encode_file(self, path: str, dtype: IdType, errors: Errors) -> bytes:
        """The ids of the file's text, packed as `dtype`."""
        if self._native is None:
            return dtype.pack(self._encode(read_text(path, errors)))
        data = read_bytes(path)
        packed = self._native.encode(data, dtype.bits // 8)
        if packed is None:  # not UTF-8: the error, or the text with U+FFFD
            packed = self._native.encode(decode_text(data, path, errors), dtype.bits // 8)
        return packed


class Document:
    """One encoded file: its path, size in bytes and count of tokens, as the manifest lists it."""

    def __init__(self, path: str, size: int, tokens: int) -> None:
        self.path, self.bytes, self.tokens = path, size, tokens

    def __repr__(self) -> str:
        return f"Document({self.path!r}, {self.bytes}, {self.tokens})"


def write_manifest(
    path: Path, model_path: str | Path, model_sha256: str, dtype: IdType,
    documents: Sequence[Document], **extra: object,
) -> None:
    manifest = {
        "model": {"path": str(model_path), "sha256": model_sha256},
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
) -> tuple[Path, list[Document]]:
    """Encode every file as one document into OUT.npy, OUT.offsets.npy and OUT.json; returns
    the ids file and the documents. `progress` is told the byte size of each finished file.
    Faults a user can act on (the model, a file, the output) raise `ToolError`."""
    targets = output_paths(output)
    sizes = [path.stat().st_size for path in paths]
    team = _Team(sizes, progress or (lambda _: None))
    try:
        with contextlib.ExitStack() as stack:
            ids_tmp, offsets_tmp, manifest_tmp = stack.enter_context(
                output_files(*targets, inputs=[*paths, model_path]))
            if jobs > 1 and len(paths) > 1:
                folder = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix=".pairloom-")))
                stack.callback(team.end_unfinished)  # before their scratch folder goes
                chosen = _encode_in_parallel(str(model_path), paths, min(jobs, len(paths)),
                                             dtype, errors, ids_tmp, folder, team)
                counts = team.counts
            else:
                encoder = FileEncoder(model_path)
                chosen = choose_dtype(encoder.largest_id, dtype)
                counts = _encode_in_turn(encoder, paths, chosen, errors, ids_tmp, team.done)
            documents = [Document(str(path), size, count)
                         for path, size, count in zip(paths, sizes, counts)]
            write_offsets(offsets_tmp, counts)
            write_manifest(manifest_tmp, model_path, hashlib.sha256(read_bytes(model_path)).hexdigest(), chosen,
                           documents)
            team.wait_for("written")  # the workers' parts of the ids file
    finally:
        # The workers are done once their writes are; they are reaped here, after the outputs
        # are in place, so that their exits cost the command no time.
        team.end()
    return targets[0], documents


def _encode_in_turn(encoder: FileEncoder, paths: Sequence[Path], dtype: IdType, errors: Errors,
                    ids: Path, done: Callable[[int, int], object]) -> list[int]:
    """Encodes the documents one after the other into `ids`, telling `done` the index and
    count of ids of each; returns the counts."""
    counts = []
    with open(ids, "wb") as file:
        writer = NpyWriter(file, dtype)
        for index, path in enumerate(paths):
            packed = encoder.encode_file(str(path), dtype, errors)
            writer.append(packed)
            counts.append(len(packed) * 8 // dtype.bits)
            done(index, counts[-1])
        writer.close()
    return counts


# A process keeps its documents' ids in memory up to this many bytes; past it they go to part
# files, so that memory follows the jobs, not the corpus.
HELD_BYTES = 256 << 20


class _Held:
    """The documents one process encoded: their ids in memory or in part files."""

    def __init__(self, folder: str) -> None:
        self.folder, self.size = folder, 0
        self.documents: dict[int, bytes | None] = {}  # None: in the part file

    def claimed(self, order: Sequence[int]) -> Iterator[int]:
        """The documents this process gets to encode. Every process walks the same order and
        takes a document by creating its part file: only one can."""
        for index in order:
            try:
                fd = os.open(self.part(index), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            except FileExistsError:
                continue
            os.close(fd)
            yield index

    def part(self, index: int) -> str:
        return os.path.join(self.folder, str(index))

    def keep(self, index: int, packed: bytes) -> None:
        if self.size + len(packed) <= HELD_BYTES:
            self.documents[index] = packed
            self.size += len(packed)
        else:
            with open(self.part(index), "wb") as file:
                file.write(packed)
            self.documents[index] = None

    def write(self, fd: int, places: Sequence[int]) -> None:
        """Writes every document into the file `fd` at its byte offset in `places`."""
        for index, packed in self.documents.items():
            if packed is None:
                with open(self.part(index), "rb") as file:
                    packed = file.read()
            view = memoryview(packed)
            while view:
                view = view[os.pwrite(fd, view, places[index] + len(packed) - len(view)):]


def _work(model_path: str, paths: Sequence[str], order: Sequence[int], folder: str,
          dtype: str, errors: Errors, ids: str, report: int, places: int) -> int:
    """A worker process. Reports on the `report` pipe a line "done INDEX COUNT" for each
    document it encoded, then "encoded"; reads the byte offsets of all documents in the ids
    file from the `places` pipe, writes its documents there and reports "written". A failure
    is reported as "error MESSAGE". Returns the process's exit status. `dtype` is the one asked
    for (`auto` included): the worker resolves it from the model it loaded."""
    try:
        encoder = FileEncoder(model_path)
        chosen = choose_dtype(encoder.largest_id, dtype)
        held = _Held(folder)
        for index in held.claimed(order):
            packed = encoder.encode_file(paths[index], chosen, errors)
            held.keep(index, packed)
            os.write(report, f"done {index} {len(packed) * 8 // chosen.bits}\n".encode())
        os.write(report, b"encoded\n")
        text = b""
        while not text.endswith(b"\n"):
            if not (chunk := os.read(places, 1 << 16)):
                return 1  # the command gave up
            text += chunk
        fd = os.open(ids, os.O_WRONLY)
        try:
            held.write(fd, json.loads(text))
        finally:
            os.close(fd)
        os.write(report, b"written\n")
        return 0
    except BaseException as error:  # noqa: BLE001 - reported to the command, which raises it
        message = str(error) if isinstance(error, ToolError) else f"{type(error).__name__}: {error}"
        os.write(report, f"error {' '.join(message.splitlines())}\n".encode(errors="replace"))
        return 1


class _Worker:
    """A worker process running `_work`, with its two pipes: forked where that is safe (it
    then starts at once, with the modules already imported), else a new interpreter."""

    def __init__(self, arguments: dict[str, Any], others: Sequence[_Worker]) -> None:
        self.pid = 0
        self.process: subprocess.Popen[bytes] | None = None
        self.status: int | None = None
        report, self.report = os.pipe()[::-1]
        places, self.places = os.pipe()
        try:
            if _can_fork():
                self.pid = os.fork()
                if self.pid == 0:
                    status = 1
                    try:
                        signal.signal(signal.SIGINT, signal.SIG_IGN)
                        for fd in [self.report, self.places, *(fd for other in others
                                                                  for fd in other.fds())]:
                            os.close(fd)
                        status = _work(**arguments, report=report, places=places)
                    finally:
                        os._exit(status)  # nothing of the command's (buffers, handlers) runs twice
            else:
                import subprocess

                # The new interpreter looks for this package where this one found it.
                boot = ("import json, sys; sys.path[:0] = json.loads(sys.argv[1]);"
                        f" from {__name__} import _main; sys.exit(_main(sys.argv[2:]))")
                self.process = subprocess.Popen(
                    [sys.executable, "-c", boot, json.dumps(sys.path), json.dumps(arguments),
                     str(report), str(places)], pass_fds=(report, places),
                    stdin=subprocess.DEVNULL)
        except BaseException:
            os.close(self.report)
            os.close(self.places)
            raise
        finally:
            os.close(report)
            os.close(places)
        self.encoded = self.written = False
        self.pending = b""

    def read(self, block: bool, done: Callable[[int, int], object]) -> bool:
        """Handles the lines that have arrived (with `block`, waits for at least one); returns
        whether the pipe is still open. Raises a worker's failure as `ToolError`."""
        os.set_blocking(self.report, block)
        try:
            chunk = os.read(self.report, 65536)
        except BlockingIOError:
            return True
        *lines, self.pending = (self.pending + chunk).split(b"\n")
        for line in lines:
            kind, _, rest = line.decode(errors="replace").partition(" ")
            if kind == "error":
                raise ToolError(rest)
            if kind == "encoded":
                self.encoded = True
            elif kind == "written":
                self.written = True
            else:
                index, count = rest.split()
                done(int(index), int(count))
        return bool(chunk)

    def write_at(self, places: Sequence[int]) -> None:
        """Tells the worker where the documents go; it writes its own and ends."""
        with contextlib.suppress(BrokenPipeError):  # it ended: its status tells the rest
            with open(self.places, "wb", closefd=False) as sink:
                sink.write(json.dumps(list(places)).encode() + b"\n")
        self.close_places()

    def fds(self) -> list[int]:
        """This side's ends of the worker's pipes, which no other worker may hold."""
        return [fd for fd in (self.report, self.places) if fd >= 0]

    def close_places(self) -> None:
        if self.places >= 0:
            os.close(self.places)
            self.places = -1

    def wait(self) -> int:
        """The exit status, negative for the signal that ended the process."""
        if self.status is None:
            if self.process is not None:
                self.status = self.process.wait()
            else:
                self.status = os.waitstatus_to_exitcode(os.waitpid(self.pid, 0)[1])
        return self.status

    def end(self) -> None:
        """Kills the process if it still runs, waits for it and closes the pipes."""
        self.close_places()
        if self.status is None:
            with contextlib.suppress(OSError):
                if self.process is not None:
                    self.process.kill()
                else:
                    os.kill(self.pid, signal.SIGKILL)
            self.wait()
        if self.report >= 0:
            os.close(self.report)
            self.report = -1


def _can_fork() -> bool:
    """Forking a process with other threads may leave the child holding a lock for ever. The
    threads counted are the system's (the tokenizer's worker pool included) where /proc
    lists them, else those Python knows of."""
    if not hasattr(os, "fork"):
        return False
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        threading = sys.modules.get("threading")
        return threading is None or threading.active_count() == 1


class _Team:
    """The workers of one encoding and what they report: each document's count of ids."""

    def __init__(self, sizes: Sequence[int], progress: Callable[[int], object]) -> None:
        self.sizes, self.progress = sizes, progress
        self.counts = [-1] * len(sizes)
        self.workers: list[_Worker] = []

    def done(self, index: int, count: int) -> None:
        self.counts[index] = count
        self.progress(self.sizes[index])

    def poll(self) -> None:
        """Takes in what the workers have reported so far."""
        for worker in self.workers:
            worker.read(False, self.done)

    def wait_for(self, what: str) -> None:
        """Waits until every worker has reported `what` ("encoded" or "written")."""
        for worker in self.workers:
            while not getattr(worker, what):
                if not worker.read(True, self.done):
                    raise ToolError(f"a worker process ended with status {worker.wait()}")

    def end_unfinished(self) -> None:
        """Ends the workers that may still write (after a failure)."""
        for worker in self.workers:
            if not worker.written:
                worker.end()

    def end(self) -> None:
        for worker in self.workers:
            worker.end()


def _encode_in_parallel(model_path: str, paths: Sequence[Path], jobs: int, dtype: str,
                        errors: Errors, ids: Path, folder: Path, team: _Team) -> IdType:
    """Encodes the documents on this process and `jobs - 1` workers into `ids`, each process
    keeping its ids in memory or in part files in `folder` until every count is known. Returns
    the type of the ids once every worker has been told where its documents go; the workers
    (in `team`, for the caller to wait for and end) may still be writing them."""
    arguments: dict[str, Any] = {
        "model_path": model_path, "paths": [str(path) for path in paths],
        "order": sorted(range(len(paths)), key=lambda index: -team.sizes[index]),
        "folder": str(folder), "dtype": dtype, "errors": errors, "ids": str(ids)}
    with contextlib.suppress(ModuleNotFoundError):  # imported once, for every process
        from . import _native  # noqa: F401
    for _ in range(jobs - 1):
        team.workers.append(_Worker(arguments, team.workers))
    encoder = FileEncoder(model_path)  # while the workers load theirs
    chosen = choose_dtype(encoder.largest_id, dtype)
    held = _Held(str(folder))
    for index in held.claimed(arguments["order"]):
        packed = encoder.encode_file(arguments["paths"][index], chosen, errors)
        held.keep(index, packed)
        team.done(index, len(packed) * 8 // chosen.bits)
        team.poll()
    team.wait_for("encoded")
    places = [NpyWriter.HEADER_SIZE + chosen.bits // 8 * start
              for start in itertools.accumulate(team.counts, initial=0)]
    with open(ids, "wb") as file:
        file.write(NpyWriter.header(chosen, sum(team.counts)))
        file.flush()
        for worker in team.workers:
            worker.write_at(places)
        held.write(file.fileno(), places)
    return chosen


def _main(argv: Sequence[str]) -> int:
    """A worker started as a new interpreter, given `_work`'s arguments and its two pipes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    return _work(**json.loads(argv[0]), report=int(argv[1]), places=int(argv[2]))
