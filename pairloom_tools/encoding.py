"""Encoding many documents into one array of ids, on several processes.

Each file is one document. The ids of all documents go, in path order, into one ``.npy`` file;
beside it go the documents' offsets (``.offsets.npy``) and a manifest (``.json``), the three
committed as one set. The model file is read once: its bytes are hashed for the manifest and
loaded by every process, so that all ids come from the model the manifest names. Workers take
batches of consecutive documents (many small files cost one hand-over per batch, not per file)
and send their ids back; the command writes them in order, so memory follows the batches in
flight, not the corpus.
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import sys
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from .files import ToolError, decode_text, read_bytes, read_text
from .model import Model
from .native import new_tokenizer
from .outputs import output_files

TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time
if TYPE_CHECKING:
    from concurrent.futures import Future
    from typing import IO, Any

    import numpy as np

    from ._native import Encoder
    from .files import Errors


def default_jobs() -> int:
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    return len(os.sched_getaffinity(0))


class IdType:
    """An element type of the id arrays: its name and width."""

    def __init__(self, name: str, bits: int) -> None:
        self.name, self.bits = name, bits

    @property
    def dtype(self) -> np.dtype[Any]:
        import numpy as np

        return np.dtype(self.name)

    def pack(self, values: Sequence[int]) -> bytes:
        import numpy as np

        return np.asarray(values, dtype=self.dtype).tobytes()


ID_TYPES = {"uint16": IdType("uint16", 16), "uint32": IdType("uint32", 32)}


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


#: Ids read at a time by `read_ids`.
READ_IDS = 1 << 20


def read_ids(path: str | Path) -> Iterator[np.ndarray[Any, Any]]:
    """The ids of a one-dimensional .npy array of integers, read in pieces (without mapping
    the file, which would die of SIGBUS if it shrank). A file that is not such an array, or
    that ends before its header says, raises `ToolError`."""
    import numpy as np

    try:
        with open(path, "rb") as file:
            try:
                major, _ = np.lib.format.read_magic(file)
                reader = {1: np.lib.format.read_array_header_1_0,
                          2: np.lib.format.read_array_header_2_0}.get(major)
                if reader is None:
                    raise ValueError(f"format version {major}")
                shape, _, dtype = reader(file)
            except ValueError:
                raise ToolError(f"{path}: not a .npy array of ids") from None
            if len(shape) != 1 or dtype.kind not in "iu":
                raise ToolError(f"{path}: not a one-dimensional array of integers")
            left = shape[0]
            while left:
                count = min(left, READ_IDS)
                data = file.read(count * dtype.itemsize)
                if len(data) != count * dtype.itemsize:
                    raise ToolError(f"{path}: changed while read (shorter than its header says)")
                yield np.frombuffer(data, dtype=dtype)
                left -= count
    except OSError as error:
        raise ToolError(f"cannot read ids {path}: {error.strerror or error}") from None


def check_recorded_model(ids: str | Path, model: Model, force: bool) -> None:
    """Refuses (unless `force`) to decode ids whose manifest names another model than `model`:
    other ids would give another text, with no error to tell."""
    manifest = output_paths(ids)[2]
    if force or not manifest.exists():
        return
    try:
        recorded = json.loads(manifest.read_bytes())["model"]["sha256"]
    except (OSError, ValueError, KeyError, TypeError):
        raise ToolError(f"cannot tell which model made {ids}: {manifest} is not its manifest"
                        " (--force decodes it all the same)") from None
    if recorded != model.sha256:
        raise ToolError(f"{ids} was encoded with another model (sha256 {recorded[:16]}...,"
                        f" not {model.sha256[:16]}...); --force decodes it all the same")


class NpyWriter:
    """A one-dimensional .npy array written piece by piece into a seekable file: numpy's header
    leaves room for any length, and `close` writes it again with the final one."""

    def __init__(self, file: IO[bytes], dtype: IdType) -> None:
        self.file, self.dtype, self.length = file, dtype, 0
        self._write_header()
        self.data_start = file.tell()

    def _write_header(self) -> None:
        import numpy as np

        header = {"descr": np.lib.format.dtype_to_descr(self.dtype.dtype),
                  "fortran_order": False, "shape": (self.length,)}
        np.lib.format.write_array_header_1_0(self.file, header)

    def append(self, packed: bytes) -> None:
        self.file.write(packed)
        self.length += len(packed) // self.dtype.dtype.itemsize

    def close(self) -> None:
        end = self.file.tell()
        self.file.seek(0)
        self._write_header()
        if self.file.tell() != self.data_start:  # numpy pads the header for 21 digits
            raise AssertionError("the .npy header changed its size")
        self.file.seek(end)


def write_offsets(path: Path, counts: Sequence[int]) -> None:
    """Document i of the concatenated ids is ids[offsets[i]:offsets[i + 1]]."""
    import numpy as np

    offsets = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    with open(path, "wb") as file:  # a path would get ".npy" added when it lacks it
        np.save(file, offsets)


class FileEncoder:
    """A model's encoding of whole files, each file's ids packed as an `IdType`. It goes through
    the tools' native encoder when that is built: no list of ints per document, and files that
    are UTF-8 are encoded from their bytes without being decoded. Else through the class.
    A model that cannot be loaded raises `ToolError`."""

    def __init__(self, model_path: str | Path, model: Model | None = None) -> None:
        model_path = str(model_path)
        #: The largest id of the model: of its bytes, merges and special tokens.
        self.largest_id = 0
        try:
            from ._native import Encoder
        except ModuleNotFoundError as error:
            if error.name != f"{__package__}._native":
                raise
            self.largest_id = (model or Model.read(model_path)).max_id
            self._native: Encoder | None = None
            self._encode = new_tokenizer(model_path=model_path).encode
        else:
            try:
                self._native = Encoder(model_path)
            except OSError as error:  # the class's own messages, for reading and content alike
                raise ToolError(f"cannot load model {model_path}: {error}") from None
            self.largest_id = self._native.largest_id

    @classmethod
    def of(cls, model: Model) -> FileEncoder:
        """The encoder of the very bytes `model` was read from."""
        with model.file() as path:
            return cls(path, model)

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
    try:
        text = json.dumps(manifest, indent=1, ensure_ascii=False) + "\n"
        data = text.encode("utf-8")
    except UnicodeEncodeError:  # a file name that is not UTF-8: kept exactly, as JSON escapes
        data = (json.dumps(manifest, indent=1) + "\n").encode("ascii")
    path.write_bytes(data)


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
    model = Model.read(model_path)
    encoder = FileEncoder.of(model)
    chosen = choose_dtype(encoder.largest_id, dtype)
    counts: list[int] = []
    names = [str(path) for path in paths]
    with output_files(*targets, inputs=[*paths, model_path]) as (ids, offsets, manifest):
        # The workers start first: numpy, which the writing imports, starts a thread.
        with _encoded(encoder, model, names, sizes, jobs, chosen, errors) as encoded, \
                open(ids, "wb") as file:
            writer = NpyWriter(file, chosen)
            for packed in encoded:
                writer.append(packed)
                counts.append(len(packed) // (chosen.bits // 8))
                if progress is not None:
                    progress(sizes[len(counts) - 1])
            writer.close()
        documents = [Document(name, size, count)
                     for name, size, count in zip(names, sizes, counts)]
        write_offsets(offsets, counts)
        write_manifest(manifest, model_path, model.sha256, chosen, documents)
    return targets[0], documents


#: A batch of documents handed to a worker holds about this many bytes of text, or one
#: document: enough that the hand-over costs nothing beside the encoding, few enough that the
#: batches in flight (and their ids, held until their turn) stay small.
BATCH_BYTES = 4 << 20
#: How long workers told to stop may take to finish their batch before they are killed.
STOP_SECONDS = 60.0


def batches(sizes: Sequence[int], jobs: int) -> list[range]:
    """Consecutive documents in batches: about BATCH_BYTES each, and at least a few per job so
    that the work comes out even."""
    target = max(1, min(BATCH_BYTES, sum(sizes) // (4 * jobs)))
    found: list[range] = []
    start = held = 0
    for index, size in enumerate(sizes):
        held += size
        if held >= target:
            found.append(range(start, index + 1))
            start, held = index + 1, 0
    if start < len(sizes):
        found.append(range(start, len(sizes)))
    return found


# The encoder of a worker process: inherited when forked, else loaded by `_start_worker`.
_worker_encoder: FileEncoder | None = None


def _start_worker(data: bytes | None) -> None:
    global _worker_encoder
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the command's to handle
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if data is not None:
        model = Model.parse(data)
        model.data = data
        _worker_encoder = FileEncoder.of(model)


def _encode_batch(paths: Sequence[str], dtype: IdType, errors: Errors) -> list[bytes]:
    assert _worker_encoder is not None
    return [_worker_encoder.encode_file(path, dtype, errors) for path in paths]


@contextlib.contextmanager
def _encoded(encoder: FileEncoder, model: Model, paths: Sequence[str], sizes: Sequence[int],
             jobs: int, dtype: IdType, errors: Errors) -> Iterator[Iterator[bytes]]:
    """The packed ids of every document, in order. With more than one job and more than one
    batch of work, the command encodes beside `jobs - 1` worker processes, started on entry:
    while the batch whose turn it is to be written is still with a worker, the command encodes
    the next batch not yet handed out."""
    global _worker_encoder
    work = batches(sizes, jobs)
    if jobs == 1 or len(work) == 1:
        yield (encoder.encode_file(path, dtype, errors) for path in paths)
        return
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    # Forked workers start at once and share the loaded model; forking is safe only while no
    # other thread runs. Else new interpreters get the model's bytes through a pipe.
    forked = _can_fork()
    context = multiprocessing.get_context("fork" if forked else "spawn")
    _worker_encoder = encoder if forked else None
    workers = min(jobs, len(work)) - 1
    pool = ProcessPoolExecutor(workers, mp_context=context, initializer=_start_worker,
                               initargs=(None if forked else model.data,))
    left = iter(enumerate(work))
    pending: dict[int, Future[list[bytes]]] = {}  # with the workers
    held: dict[int, list[bytes]] = {}  # encoded, waiting for their turn
    most = 4 * jobs  # batches pending or held: memory follows this, not the corpus

    def hand_out() -> None:
        while len(pending) < 2 * workers and len(pending) + len(held) < most:
            if (item := next(left, None)) is None:
                return
            index, batch = item
            pending[index] = pool.submit(_encode_batch, [paths[i] for i in batch], dtype, errors)

    def collect(index: int) -> None:
        try:
            held[index] = pending.pop(index).result()
        except BrokenProcessPool:
            raise ToolError("a worker process ended unexpectedly") from None

    def encode_here() -> bool:
        if (item := next(left, None)) is None:
            return False
        index, batch = item
        held[index] = [encoder.encode_file(paths[i], dtype, errors) for i in batch]
        return True

    def results() -> Iterator[bytes]:
        for index in range(len(work)):
            while index not in held:
                future = pending.get(index)
                if future is None:  # not handed out yet: its turn has come
                    encode_here()
                elif future.done() or len(pending) + len(held) >= most or not encode_here():
                    collect(index)
            yield from held.pop(index)
            hand_out()

    # The pool forgets its processes when it shuts down: they are taken just before.
    started: list[Any] = []
    try:
        hand_out()
        yield results()
    except BaseException:
        # A failure, Ctrl-C or SIGTERM: the batches not yet started are of no use now; the
        # workers finish the one each has (a few MB at most) and leave. Killing them at once
        # instead can leave the pool's manager thread waiting for ever, and the exit with it.
        started = list((getattr(pool, "_processes", None) or {}).values())
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    finally:
        _worker_encoder = None
        started = started or list((getattr(pool, "_processes", None) or {}).values())
        pool.shutdown(wait=True)
        _reap(started)


def _reap(processes: Sequence[Any]) -> None:
    """Waits for worker processes told to stop, and kills those still there after
    STOP_SECONDS. After `shutdown(wait=False)` nothing else waits for them, and the command
    ends with `os._exit`, which takes the pool's manager thread along before it may have told
    every worker to stop: such a worker, forked with both ends of its work queue, would wait
    for work for ever, holding the command's standard output and error open."""
    import time
    from multiprocessing.connection import wait

    deadline = time.monotonic() + STOP_SECONDS
    while alive := [process for process in processes if process.is_alive()]:
        if (left := deadline - time.monotonic()) <= 0:
            for process in alive:
                process.kill()
                process.join()
            return
        wait([process.sentinel for process in alive], timeout=left)


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
