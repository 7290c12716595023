"""Encoding many documents into one array of ids, on worker processes.

Each file is one document. The ids of all documents go, in path order, into one ``.npy`` file
whose header is written first and rewritten with the final length at the end; beside it go the
documents' offsets (``.offsets.npy``) and a manifest (``.json``). Worker processes load the
model once each, read and encode whole documents, and hand back their ids as arrays; at most
two documents per worker are in flight, so memory follows the jobs, not the corpus.
"""

from __future__ import annotations

import json
import multiprocessing
import multiprocessing.pool
import os
import signal
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt
from numpy.lib import format as npy_format

from .files import Errors, ToolError, atomic_outputs, read_text
from .model import Model
from .native import new_tokenizer

#: Documents waiting or running per worker process.
IN_FLIGHT_PER_JOB = 2


def default_jobs() -> int:
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    return len(os.sched_getaffinity(0))


def choose_dtype(model: Model, dtype: str) -> np.dtype[Any]:
    """uint16 for `auto` when every id of the model fits, else uint32."""
    largest = model.max_id
    if dtype == "auto":
        dtype = "uint16" if largest <= 0xFFFF else "uint32"
    chosen = np.dtype(dtype)
    if chosen.kind != "u" or largest > np.iinfo(chosen).max:
        raise ToolError(f"the model's ids go up to {largest}, which {dtype} cannot hold")
    return chosen


def output_paths(output: str | Path) -> tuple[Path, Path, Path]:
    """OUT.npy, OUT.offsets.npy and OUT.json for an output named OUT.npy (or OUT)."""
    ids = Path(output)
    if ids.suffix != ".npy":
        ids = ids.with_name(ids.name + ".npy")
    stem = ids.with_suffix("")
    return ids, stem.with_name(stem.name + ".offsets.npy"), stem.with_name(stem.name + ".json")


# Worker side: one tokenizer per process, loaded by the pool's initializer.
_worker_encode: Callable[[str], list[int]] | None = None


def load_encoder(model_path: str) -> Callable[[str], list[int]]:
    return new_tokenizer(model_path=model_path).encode


def _init_worker(model_path: str) -> None:
    global _worker_encode
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent handles Ctrl-C and ends the pool
    _worker_encode = load_encoder(model_path)


def encode_file(
    encode: Callable[[str], list[int]], path: str, dtype: str, errors: Errors
) -> npt.NDArray[Any]:
    """One document's ids, as an array of `dtype`."""
    return np.array(encode(read_text(path, errors)), dtype=dtype)


def _encode_in_worker(path: str, dtype: str, errors: Errors) -> npt.NDArray[Any]:
    assert _worker_encode is not None
    return encode_file(_worker_encode, path, dtype, errors)


class NpyWriter:
    """A one-dimensional .npy array written piece by piece; the header is rewritten with the
    final length by `close` (numpy pads the header so that the length can grow in place)."""

    def __init__(self, file: IO[bytes], dtype: np.dtype[Any]) -> None:
        self.file, self.dtype, self.length = file, dtype, 0
        self._write_header()

    def _write_header(self) -> None:
        header = {"descr": npy_format.dtype_to_descr(self.dtype), "fortran_order": False,
                  "shape": (self.length,)}
        npy_format.write_array_header_1_0(self.file, header)

    def append(self, values: npt.NDArray[Any]) -> None:
        self.file.write(values.astype(self.dtype, copy=False).tobytes())
        self.length += len(values)

    def close(self) -> None:
        end = self.file.tell()
        self.file.seek(0)
        self._write_header()
        data_start = end - self.length * self.dtype.itemsize
        if self.file.tell() != data_start:
            raise RuntimeError("the .npy header changed its length")
        self.file.seek(end)


@dataclass
class Document:
    path: str
    bytes: int
    tokens: int


def write_manifest(
    path: Path, model_path: str | Path, model: Model, dtype: np.dtype[Any],
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
) -> tuple[Path, list[Document]]:
    """Encode every file as one document into OUT.npy, OUT.offsets.npy and OUT.json; returns
    the ids file and the documents. `progress` is told the byte size of each finished file."""
    model = Model.load(model_path)
    chosen = choose_dtype(model, dtype)
    targets = output_paths(output)
    documents: list[Document] = []
    with atomic_outputs(*targets) as (ids_tmp, offsets_tmp, manifest_tmp):
        with open(ids_tmp, "wb") as file:
            writer = NpyWriter(file, chosen)
            for path, ids in zip(paths, _encoded(str(model_path), paths, jobs, chosen.name,
                                                  errors)):
                writer.append(ids)
                size = path.stat().st_size
                documents.append(Document(str(path), size, len(ids)))
                if progress is not None:
                    progress(size)
            writer.close()
        offsets = np.zeros(len(documents) + 1, dtype=np.int64)
        np.cumsum([document.tokens for document in documents], out=offsets[1:])
        with open(offsets_tmp, "wb") as file:
            np.save(file, offsets)
        write_manifest(manifest_tmp, model_path, model, chosen, documents)
    return targets[0], documents


def _encoded(
    model_path: str, paths: Sequence[Path], jobs: int, dtype: str, errors: Errors
) -> Iterator[npt.NDArray[Any]]:
    """The documents' id arrays in path order."""
    if jobs <= 1:
        encode = load_encoder(model_path)
        for path in paths:
            yield encode_file(encode, str(path), dtype, errors)
        return
    with multiprocessing.Pool(jobs, _init_worker, (model_path,)) as pool:
        pending: deque[multiprocessing.pool.AsyncResult[npt.NDArray[Any]]] = deque()
        waiting = iter(paths)
        while True:
            while len(pending) < jobs * IN_FLIGHT_PER_JOB:
                following = next(waiting, None)
                if following is None:
                    break
                pending.append(pool.apply_async(_encode_in_worker,
                                                (str(following), dtype, errors)))
            if not pending:
                return
            yield pending.popleft().get()
