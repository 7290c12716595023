"""Input files and their text, and the one-line faults of the tools."""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path

TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time
if TYPE_CHECKING:
    from typing import Literal, TypeAlias

    Errors: TypeAlias = Literal["strict", "replace"]


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


def read_bytes(path: str | Path) -> bytes:
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise ToolError(f"{path}: {error.strerror or error}") from None


def read_text(path: str | Path, errors: Errors = "strict") -> str:
    return decode_text(read_bytes(path), path, errors)


def printable(text: str | os.PathLike[str]) -> str:
    """`text` (a path, a message) fit for one line of a terminal: control characters, line
    breaks and the undecodable bytes of a file name escaped, as Python writes them."""
    text = os.fspath(text)
    if text.isprintable():
        try:
            text.encode("utf-8")
            return text
        except UnicodeEncodeError:
            pass
    return "".join(char if char.isprintable() and not 0xD800 <= ord(char) < 0xE000
                   else repr(char)[1:-1] for char in text)

