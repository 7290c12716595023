"""Encoding a corpus on a Dask distributed cluster.

The model file and the documents must be readable at the same paths on every worker, and the
output folder writable from all of them (a shared file system, or one machine). Each worker
process loads the model once and keeps it for later calls.

Output folder layout: ``documents/NNNNNNNN.npy`` (one array per document, in path order),
``offsets.npy`` (int64, documents + 1 entries, as if the documents were concatenated) and
``manifest.json`` (model path and sha256, dtype, each document's path, byte size, token count
and array file), written last.
"""

from __future__ import annotations

import hashlib
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from .encoding import (Document, IdType, NpyWriter, choose_dtype, encode_file, load_encoder,
                       write_manifest, write_offsets)
from .files import Errors, ToolError, atomic_outputs, collect_paths
from .model import Model

# Worker side: the tokenizers this process has loaded, by model path and content hash.
_encoders: dict[tuple[str, str], Callable[[str], list[int]]] = {}


def _encoder(model_path: str, sha256: str) -> Callable[[str], list[int]]:
    key = (model_path, sha256)
    if key not in _encoders:
        with open(model_path, "rb") as file:
            seen = hashlib.sha256(file.read()).hexdigest()
        if seen != sha256:
            raise ToolError(f"{model_path}: a worker reads a different model file")
        _encoders[key] = load_encoder(model_path)
    return _encoders[key]


def _encode_document(
    model_path: str, sha256: str, path: str, output: str, dtype: IdType, errors: Errors
) -> int:
    """Encode one document into its own .npy file; returns its number of tokens."""
    packed = encode_file(_encoder(model_path, sha256), path, dtype, errors)
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
    chosen = choose_dtype(model, dtype)
    files = collect_paths(map(Path, paths))
    output = Path(output_dir)
    (output / "documents").mkdir(parents=True, exist_ok=True)
    names = [f"documents/{index:08d}.npy" for index in range(len(files))]
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
        write_manifest(manifest_tmp, model_path, model, chosen, documents, files=names)
    return manifest
