"""Training on a Dask distributed cluster, and encoding a corpus on one.

Training (`train`): the text is cut into byte ranges, each held by a shard in an actor on a
worker; the driver holds the coordinator, which chooses each step's pair. A step costs one
round trip to every actor, carrying the count changes of that step only.

Encoding (`encode_files`): the model file and the documents must be readable at the same paths
on every worker, and the output folder writable from all of them (a shared file system, or one
machine). Each worker process loads the model once and keeps it for later calls.

Output folder layout: ``documents/NNNNNNNN.npy`` (one array per document, in path order),
``offsets.npy`` (int64, documents + 1 entries, as if the documents were concatenated) and
``manifest.json`` (model path and sha256, dtype, each document's path, byte size, token count
and array file), written last.
"""

from __future__ import annotations

import hashlib
import os
import time
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .encoding import (Document, FileEncoder, IdType, NpyWriter, choose_dtype,
                       write_manifest, write_offsets)
from .files import ToolError, atomic_outputs, collect_paths, read_text, refuse_replacing
from .model import Model

if TYPE_CHECKING:
    from .files import Errors

# Worker side: the tokenizers this process has loaded, by model path and content hash.
_encoders: dict[tuple[str, str], FileEncoder] = {}


def _encoder(model_path: str, sha256: str) -> FileEncoder:
    key = (model_path, sha256)
    if key not in _encoders:
        with open(model_path, "rb") as file:
            seen = hashlib.sha256(file.read()).hexdigest()
        if seen != sha256:
            raise ToolError(f"{model_path}: a worker reads a different model file")
        _encoders[key] = FileEncoder(model_path)
    return _encoders[key]


def _encode_document(
    model_path: str, sha256: str, path: str, output: str, dtype: IdType, errors: Errors
) -> int:
    """Encode one document into its own .npy file; returns its number of tokens."""
    packed = _encoder(model_path, sha256).encode_file(path, dtype, errors)
    with atomic_outputs(Path(output)) as (temporary,), open(temporary, "wb") as file:
        writer = NpyWriter(file, dtype)
        writer.append(packed)
        writer.close()
    return writer.length


def encode_files(
    client: Any,
    model_path: str | os.PathLike[str],
    paths: Sequence[str | os.PathLike[str]],
    output_dir: str | os.PathLike[str],
    dtype: str = "auto",
    errors: Errors = "strict",
) -> Path:
    """Encode every file (folders stand for their files, as on the command line) as one
    document on the cluster of the `distributed.Client` `client`; returns the manifest's path.
    Each document's ids equal those of ``pairloom encode`` with the same model."""
    model_path = Path(model_path)
    model = Model.load(model_path)
    chosen = choose_dtype(model.max_id, dtype)
    files = collect_paths(map(Path, paths))
    output = Path(output_dir)
    (output / "documents").mkdir(parents=True, exist_ok=True)
    names = [f"documents/{index:08d}.npy" for index in range(len(files))]
    refuse_replacing([output / name for name in [*names, "offsets.npy", "manifest.json"]],
                     [*files, model_path])
    futures = client.map(
        _encode_document,
        [str(Path(model_path).resolve())] * len(files),
        [model.sha256] * len(files),
        [str(path.resolve()) for path in files],
        [str((output / name).resolve()) for name in names],
        [chosen] * len(files),
        [errors] * len(files),
        pure=False,
    )
    counts: list[int] = client.gather(futures)
    documents = [Document(str(path), path.stat().st_size, count)
                 for path, count in zip(files, counts)]
    manifest = output / "manifest.json"
    with atomic_outputs(output / "offsets.npy", manifest) as (offsets_tmp, manifest_tmp):
        write_offsets(offsets_tmp, counts)
        write_manifest(manifest_tmp, model_path, model.sha256, chosen, documents, files=names)
    return manifest


# ---------------------------------------------------------------------------------------
# Training

#: A shard's ends, as `Shard.edges` gives them: empty, first token, last token, length of the run
#: of the last token that ends the shard, whether that run is the whole shard.
Edges = tuple[bool, int, int, int, bool]

#: Where a shard's bytes come from: the bytes themselves, or (path, offset, length) pieces of
#: files that the worker reads.
ShardSource = bytes | tuple[tuple[str, int, int], ...]


def _shard_bytes(source: ShardSource) -> bytes:
    if isinstance(source, bytes):
        return source
    pieces = []
    for path, offset, length in source:
        with open(path, "rb") as file:
            file.seek(offset)
            data = file.read(length)
        if len(data) != length:
            raise ToolError(f"{path}: changed while training (shorter than {offset + length} bytes)")
        pieces.append(data)
    return b"".join(pieces)


class ShardActor:
    """The shards of one worker, in text order: a Dask actor (``actor=True``)."""

    def __init__(self, sources: Sequence[ShardSource], threads: int = 1) -> None:
        from ._native import Shard, sum_deltas

        self._sum = sum_deltas
        self._pool = ThreadPoolExecutor(threads) if threads > 1 and len(sources) > 1 else None
        # Shards count their pairs, and merge, without the interpreter lock: side by side.
        build = lambda source: Shard(_shard_bytes(source))  # noqa: E731
        self._shards = list(self._pool.map(build, sources) if self._pool else map(build, sources))

    def changes(self) -> tuple[bytes, list[Edges]]:
        """The count changes since the last call (first: the initial counts), summed over the
        shards (they change mostly the same pairs), and every shard's edges."""
        deltas = [shard.take_deltas() for shard in self._shards]
        return (deltas[0] if len(deltas) == 1 else self._sum(deltas),
                [shard.edges() for shard in self._shards])

    def step(self, left: int, right: int, token: int, roles: Sequence[tuple[bool, bool]],
             ) -> tuple[bytes, list[Edges]]:
        """Rewrites (left, right) as `token` in every shard, each in its role; then changes()."""
        def merge(index: int) -> None:
            self._shards[index].merge(left, right, token, *roles[index])

        if self._pool is None:
            for index in range(len(self._shards)):
                merge(index)
        else:
            list(self._pool.map(merge, range(len(self._shards))))
        return self.changes()

    def live(self) -> int:
        return sum(shard.live for shard in self._shards)


def _file_sizes(paths: Sequence[str]) -> list[int] | None:
    """On a worker: the sizes of the files, or None when one is not there."""
    try:
        return [os.stat(path).st_size for path in paths]
    except OSError:
        return None


def _check_text(path: str, errors: Errors) -> None:
    """On a worker: raises ToolError, as ``pairloom train`` does, when the file is not text."""
    read_text(path, errors)


def _cut(sizes: Sequence[int], shards: int) -> list[list[tuple[int, int, int]]]:
    """Shard k holds bytes floor(k * n / shards) up to floor((k + 1) * n / shards) of the
    files' concatenation, as (file index, offset, length) pieces."""
    total = sum(sizes)
    starts = [0]
    for size in sizes:
        starts.append(starts[-1] + size)
    cuts = [k * total // shards for k in range(shards + 1)]
    out: list[list[tuple[int, int, int]]] = []
    for begin, end in zip(cuts, cuts[1:]):
        pieces = []
        for index, size in enumerate(sizes):
            low, high = max(begin, starts[index]), min(end, starts[index] + size)
            if low < high:
                pieces.append((index, low - starts[index], high - low))
        out.append(pieces)
    return out


@dataclass
class Training:
    """What `train` did: merges learned, and the time it took."""

    model_path: Path
    vocab_path: Path
    merges: int
    shards: int
    setup_seconds: float  # checking and cutting the text, counting its pairs
    step_seconds: list[float] = field(default_factory=list)  # one per merge
    seconds: float = 0.0  # the whole call


def train(
    client: Any,
    paths: Sequence[str | os.PathLike[str]],
    vocab_size: int,
    output_prefix: str | os.PathLike[str],
    num_threads: int = 1,
    *,
    errors: Errors = "strict",
    progress: Callable[[int], object] | None = None,
) -> Training:
    """Trains on the files (folders stand for their files, as on the command line) on the cluster
    of the `distributed.Client` `client`, and writes ``PREFIX.model`` and ``PREFIX.vocab``
    byte for byte as ``pairloom train`` writes them for the same paths.

    Each worker holds `num_threads` shards of the text and rewrites them with as many threads.
    Workers read their byte ranges from the files when they see them at the same paths with the
    same sizes (one machine, or a shared file system), else the driver reads the files and
    ships each worker its bytes (as it always does with ``errors="replace"``, which changes
    them). `progress(n)` is called as merges are learned. Nothing is written unless the
    training ends: an interruption (Ctrl-C) or a failure leaves no output."""
    from ._native import Coordinator, write_model

    start = time.perf_counter()
    if vocab_size < 256:
        raise ValueError("vocab_size must be at least 256")
    if num_threads < 1:
        raise ValueError("num_threads must be at least 1")
    files = collect_paths(map(Path, paths))
    prefix = str(output_prefix)
    targets = (Path(prefix + ".model"), Path(prefix + ".vocab"))
    refuse_replacing(targets, files)  # now, not after the training
    workers = sorted(client.scheduler_info()["workers"])
    if not workers:
        raise ToolError("the cluster has no workers")
    count = len(workers) * num_threads
    sources = _shard_sources(client, files, errors, count)
    actors = [client.submit(ShardActor, sources[i * num_threads:(i + 1) * num_threads],
                            num_threads, actor=True, workers=[worker], pure=False)
              for i, worker in enumerate(workers)]
    try:
        handles = [future.result() for future in actors]
        coordinator = Coordinator()
        edges: list[Edges] = []
        for deltas, shard_edges in [handle.changes().result() for handle in handles]:
            coordinator.add(deltas)
            edges += shard_edges
        coordinator.set_edges(edges)
        result = Training(targets[0], targets[1], 0, count, time.perf_counter() - start)
        merges: list[tuple[int, int]] = []
        for token in range(256, vocab_size):
            began = time.perf_counter()
            pair = coordinator.most_common_pair()
            if pair is None:
                break
            roles = coordinator.plan(*pair)
            calls = [handle.step(pair[0], pair[1], token,
                                 roles[i * num_threads:(i + 1) * num_threads])
                     for i, handle in enumerate(handles)]
            edges = []
            for deltas, shard_edges in [call.result() for call in calls]:
                coordinator.add(deltas)
                edges += shard_edges
            coordinator.set_edges(edges)
            coordinator.finish_step(*pair)
            merges.append(pair)
            result.step_seconds.append(time.perf_counter() - began)
            if progress is not None:
                progress(1)
    finally:
        client.cancel(actors)
    with atomic_outputs(*targets) as (model_tmp, vocab_tmp):
        write_model(merges, str(model_tmp), str(vocab_tmp))
    result.merges = len(merges)
    result.seconds = time.perf_counter() - start
    return result


def _shard_sources(client: Any, files: Sequence[Path], errors: Errors,
                   count: int) -> list[ShardSource]:
    """Each shard's bytes, or where its workers read them."""
    names = [str(path.resolve()) for path in files]
    sizes = [path.stat().st_size for path in files]
    seen = client.run(_file_sizes, names)
    if errors == "strict" and all(found == sizes for found in seen.values()):
        client.gather(client.map(_check_text, names, [errors] * len(names), pure=False))
        return [tuple((names[index], offset, length) for index, offset, length in pieces)
                for pieces in _cut(sizes, count)]
    data = "".join(read_text(path, errors) for path in files).encode("utf-8")
    return [data[begin:end] for begin, end in
            ((k * len(data) // count, (k + 1) * len(data) // count) for k in range(count))]
