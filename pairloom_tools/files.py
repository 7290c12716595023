"""Input files, their text, and outputs that appear whole or not at all."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Literal

Errors = Literal["strict", "replace"]


class ToolError(Exception):
    """A failure the user can act on: reported as one line, without a traceback."""


def collect_paths(paths: Iterable[str | Path]) -> list[Path]:
    """Files in the order given; a folder stands for its regular files, recursively, in sorted
    path order. Raises `ToolError` for a missing path or a folder without files."""
    found: list[Path] = []
    for given in paths:
        path = Path(given)
        if path.is_dir():
            inside = sorted(p for p in path.rglob("*") if p.is_file())
            if not inside:
                raise ToolError(f"{path}: folder holds no files")
            found.extend(inside)
        elif path.is_file():
            found.append(path)
        elif path.exists():
            raise ToolError(f"{path}: not a regular file or folder")
        else:
            raise ToolError(f"{path}: no such file or folder")
    if not found:
        raise ToolError("no input files")
    return found


def decode_text(data: bytes, path: str | Path, errors: Errors = "strict") -> str:
    """A file's bytes as text, exactly as stored (line endings kept)."""
    try:
        return data.decode("utf-8", errors)
    except UnicodeDecodeError as error:
        raise ToolError(
            f"{path}: not UTF-8 at byte offset {error.start} (--errors replace substitutes U+FFFD)"
        ) from None


def read_text(path: str | Path, errors: Errors = "strict") -> str:
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise ToolError(f"{path}: {error.strerror or error}") from None
    return decode_text(data, path, errors)


@contextmanager
def atomic_outputs(*targets: Path) -> Iterator[list[Path]]:
    """Temporary files beside each target, renamed onto the targets when the block ends
    normally and removed when it does not, so no target is ever left half written."""
    temporaries: list[Path] = []
    try:
        for target in targets:
            try:
                fd, name = tempfile.mkstemp(prefix=f".{target.name}.", dir=target.parent or ".")
            except OSError as error:
                raise ToolError(f"cannot write {target}: {error.strerror or error}") from None
            os.close(fd)
            temporaries.append(Path(name))
        yield temporaries
        for temporary, target in zip(temporaries, targets):
            mode = 0o666 & ~_umask()
            os.chmod(temporary, mode)
            os.replace(temporary, target)
    finally:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
