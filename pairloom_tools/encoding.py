"""Encoding many documents into one array of ids, on worker processes.

Each file is one document. The ids of all documents go, in path order, into one ``.npy`` file
whose header is written first and rewritten with the final length at the end; beside it go the
documents' offsets (``.offsets.npy``) and a manifest (``.json``). Worker processes load the
model once each, and read, encode and store whole documents, longest first so that no worker
is left with a long document at the end; the ids are then copied in path order, one document
at a time. Memory follows the jobs and the longest document, not the corpus.

The arrays are written in numpy's .npy format without importing numpy: its import would be
most of the command's start-up, which no worker can share.
"""

from __future__ import annotations

import array
import contextlib
import itertools
import json
import multiprocessing
import os
import signal
import sys
import tempfile
from collections.abc import Callable, Generator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from .files import Errors, ToolError, atomic_outputs, read_text
from .model import Model
from .native import new_tokenizer

def default_jobs() -> int:
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    return len(os.sched_getaffinity(0))


@dataclass(frozen=True)
class IdType:
    """An element type of the id arrays: its numpy name and `array` type code."""

    name: str
    code: str
    bits: int

    @property
    def descr(self) -> str:
        """The type as a .npy header names it (native byte order, as `array` packs it)."""
        order = "<" if sys.byteorder == "little" else ">"
        kind = "i" if self.code.islower() else "u"
        return f"{order}{kind}{self.bits // 8}"

    def pack(self, values: Sequence[int]) -> bytes:
        return array.array(self.code, values).tobytes()


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


# Worker side: one tokenizer per process, loaded by the pool's initializer.
_worker_encode: Callable[[str], list[int]] | None = None


def load_encoder(model_path: str) -> Callable[[str], list[int]]:
    return new_tokenizer(model_path=model_path).encode


def _init_worker(model_path: str) -> None:
    global _worker_encode
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent handles Ctrl-C and ends the pool
    _worker_encode = load_encoder(model_path)


def encode_file(
    encode: Callable[[str], list[int]], path: str, dtype: IdType, errors: Errors
) -> bytes:
    """One document's ids, packed as `dtype`."""
    return dtype.pack(encode(read_text(path, errors)))


@dataclass
class Document:
    path: str
    bytes: int
    tokens: int


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
                    writer.append(packed)
                    documents.append(Document(str(path), size, len(packed) * 8 // chosen.bits))
            writer.close()
        write_offsets(offsets_tmp, [document.tokens for document in documents])
        write_manifest(manifest_tmp, model_path, model, chosen, documents)
    return targets[0], documents


def _encode_to_file(task: tuple[int, str, str, IdType, Errors]) -> int:
    """Encode one document into the file `part`; returns the document's index."""
    index, path, part, dtype, errors = task
    assert _worker_encode is not None
    Path(part).write_bytes(encode_file(_worker_encode, path, dtype, errors))
    return index


def _encoded(
    model_path: str,
    paths: Sequence[Path],
    sizes: Sequence[int],
    jobs: int,
    dtype: IdType,
    errors: Errors,
    scratch: Path,
    progress: Callable[[int], object],
) -> Generator[bytes, None, None]:
    """The documents' packed ids in path order."""
    if jobs <= 1:
        encode = load_encoder(model_path)
        for path, size in zip(paths, sizes):
            packed = encode_file(encode, str(path), dtype, errors)
            progress(size)
            yield packed
        return
    with tempfile.TemporaryDirectory(prefix=".pairloom-", dir=scratch) as folder:
        parts = [str(Path(folder) / str(index)) for index in range(len(paths))]
        longest_first = sorted(range(len(paths)), key=lambda index: -sizes[index])
        tasks = [(index, str(paths[index]), parts[index], dtype, errors)
                 for index in longest_first]
        with multiprocessing.Pool(jobs, _init_worker, (model_path,)) as pool:
            for index in pool.imap_unordered(_encode_to_file, tasks):
                progress(sizes[index])
        for part in parts:
            yield Path(part).read_bytes()
            os.unlink(part)
