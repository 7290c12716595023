"""Input files, their text, and outputs that appear whole or not at all."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager, suppress
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


def sha256_hex(data: bytes) -> str:
    """SHA-256 of `data`, in hexadecimal digits. Importing hashlib loads OpenSSL, a few
    milliseconds of every command's start; the interpreter's own module gives the same digest."""
    for name in ("_sha2", "_sha256"):  # Python 3.12 and later; 3.11
        try:
            return str(__import__(name).sha256(data).hexdigest())
        except ImportError:
            pass
    import hashlib

    return hashlib.sha256(data).hexdigest()


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


@contextmanager
def atomic_outputs(*targets: Path, inputs: Iterable[str | os.PathLike[str]] = ()
                   ) -> Iterator[list[Path]]:
    """Temporary files beside each target, renamed onto the targets when the block ends
    normally and removed when it does not, so no target is ever left half written. A target
    that is one of `inputs` (the same file, by any name) is refused before anything is made."""
    refuse_replacing(targets, inputs)
    temporaries: list[Path] = []
    try:
        for target in targets:
            if target.is_dir():
                raise ToolError(f"cannot write {target}: it is a folder")
            try:
                temporaries.append(unique_name(target.parent, f".{target.name}.", os.open,
                                               os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            except OSError as error:
                raise ToolError(f"cannot write {target}: {error.strerror or error}") from None
        yield temporaries
        for temporary, target in zip(temporaries, targets):
            mode = 0o666 & ~_umask()
            os.chmod(temporary, mode)
            try:
                os.replace(temporary, target)
            except OSError as error:
                raise ToolError(f"cannot write {target}: {error.strerror or error}") from None
    finally:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)


def refuse_replacing(targets: Iterable[Path], inputs: Iterable[str | os.PathLike[str]]) -> None:
    """Raises ToolError when a target is the same file as one of `inputs`: the command would
    replace what it reads."""
    existing = {}
    for target in targets:
        with suppress(OSError):
            status = os.stat(target)
            existing[status.st_dev, status.st_ino] = target
    if not existing:
        return
    for path in inputs:
        with suppress(OSError):
            status = os.stat(path)
            if (replaced := existing.get((status.st_dev, status.st_ino))) is not None:
                raise ToolError(f"{replaced} is also an input: choose another output")


def unique_name(folder: Path, prefix: str, make: Callable[..., object], *args: object) -> Path:
    """A new name in `folder`, made (exclusively) by `make(name, *args)`; a file descriptor it
    returns is closed. (The tempfile module does this too, at several times the import cost.)"""
    for _ in range(100):
        path = folder / f"{prefix}{os.urandom(6).hex()}"
        try:
            made = make(path, *args)
        except FileExistsError:
            continue
        if isinstance(made, int):
            os.close(made)
        return path
    raise FileExistsError(f"no unused name for {prefix}* in {folder}")


@contextmanager
def scratch_folder(parent: Path, prefix: str) -> Iterator[Path]:
    """A new folder in `parent` for files of the moment, removed with what it holds at the
    end (it holds plain files only)."""
    folder = unique_name(parent, prefix, os.mkdir, 0o700)
    try:
        yield folder
    finally:
        for entry in os.scandir(folder):
            os.unlink(entry.path)
        os.rmdir(folder)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
