"""Where the tools' files go. Every output is written whole under a temporary name and then put
in place, so that a reader finds the old content or the new, never a part of it:

- a regular file, or a name that does not exist yet, is replaced by a rename in its folder;
- a symbolic link stays: the file it leads to is written that way;
- a character device or a FIFO is never replaced: once everything is ready, the output is
  written into it in place (`/dev/null`, a terminal, a pipe to another program);
- anything else (a folder, a socket, a block device) is refused.

Outputs that belong together are committed as one set (`output_files`): every temporary is
complete before the first rename, and a failure while renaming puts back what was there. A
folder of outputs is built fresh beside its place and swapped in whole (`output_folder`).
Whatever way a block is left (an error, Ctrl-C, SIGTERM turned into an exception), no
temporary stays behind.
"""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager, suppress
from pathlib import Path

from .files import ToolError, printable

__all__ = ["Output", "output_files", "output_folder", "refuse_replacing"]


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


class Output:
    """One output of a set: the name asked for, the file that will hold the result (the name
    with its links resolved) and the temporary file to write it into now."""

    def __init__(self, target: str | os.PathLike[str]) -> None:
        self.target = Path(target)
        #: The file the result goes to: where the target's symbolic links lead (a device or
        #: FIFO is opened by the name given: /dev/stdout leads to no name of its own).
        self.path = self.target
        #: Written into in place at the commit (a character device or FIFO), not replaced.
        self.in_place = False
        #: The file's status before the commit; None when there is no file yet.
        self.before: os.stat_result | None = None
        try:
            self.before = os.stat(self.target)
        except FileNotFoundError:
            pass
        except OSError as error:
            raise self.fault(_reason(error)) from None
        mode = 0 if self.before is None else self.before.st_mode
        if stat.S_ISDIR(mode):
            raise self.fault("it is a folder")
        if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
            self.in_place = True
        elif self.before is not None and not stat.S_ISREG(mode):
            raise self.fault("not a regular file, character device or FIFO")
        else:
            self.path = Path(os.path.realpath(self.target))
        self.temporary: Path | None = None

    def fault(self, reason: str) -> ToolError:
        return ToolError(f"cannot write {printable(self.target)}: {reason}")

    def make_temporary(self) -> Path:
        # A device's content is prepared where temporary files go; a file's, in its own folder,
        # so that a rename puts it in place.
        folder = None if self.in_place else self.path.parent
        try:
            fd, name = tempfile.mkstemp(prefix=f".{self.path.name}.", dir=folder)
        except OSError as error:
            raise self.fault(_reason(error)) from None
        os.close(fd)
        self.temporary = Path(name)
        return self.temporary

    def write_in_place(self) -> None:
        """Copies the temporary's content into the device or FIFO."""
        assert self.temporary is not None
        try:
            with open(self.temporary, "rb") as source, \
                    open(self.path, "wb", buffering=0) as sink:  # no truncation on a device
                shutil.copyfileobj(source, sink, 1 << 20)
        except OSError as error:
            raise self.fault(_reason(error)) from None

    def settle_mode(self) -> None:
        """The mode (and, where allowed, the owner) of the file replaced; a new file's mode as
        the process's file-creation mask allows."""
        assert self.temporary is not None
        if self.before is None:
            os.chmod(self.temporary, 0o666 & ~_umask())
            return
        os.chmod(self.temporary, stat.S_IMODE(self.before.st_mode))
        if (self.before.st_uid, self.before.st_gid) != (os.getuid(), os.getgid()):
            with suppress(OSError):
                os.chown(self.temporary, self.before.st_uid, self.before.st_gid)


def refuse_replacing(targets: Iterable[str | os.PathLike[str]],
                     inputs: Iterable[str | os.PathLike[str]]) -> None:
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
                raise ToolError(f"{printable(replaced)} is also an input: choose another output")


@contextmanager
def output_files(*targets: str | os.PathLike[str],
                 inputs: Iterable[str | os.PathLike[str]] = (),
                 remove: Sequence[str | os.PathLike[str]] = ()) -> Iterator[list[Path]]:
    """Temporary files for `targets`, in their order, committed as one set when the block ends
    normally and removed when it does not. `remove`: files of an earlier result that the new
    one has no place for, removed with the commit (and put back if it fails). A target that
    is one of `inputs` (the same file, by any name) is refused before anything is made."""
    refuse_replacing([*targets, *remove], inputs)
    outputs = [Output(target) for target in targets]
    resolved = [output.path for output in outputs]
    if len(set(resolved)) != len(resolved):
        raise ToolError("two outputs are the same file")
    try:
        yield [output.make_temporary() for output in outputs]
        _commit(outputs, [Path(os.path.realpath(path)) for path in remove])
    finally:
        for output in outputs:
            if output.temporary is not None:
                with suppress(OSError):
                    os.unlink(output.temporary)


def _commit(outputs: Sequence[Output], stale: Sequence[Path]) -> None:
    """Puts every output in place. Devices and FIFOs are written first, as they cannot be put
    back; then each file is renamed onto its place, its old content kept under a second name
    until all are in place, and restored if any rename fails."""
    for output in outputs:
        if output.in_place:
            output.write_in_place()
    replaced = [output for output in outputs if not output.in_place]
    for output in replaced:
        output.settle_mode()
    stale = [path for path in stale
             if path.is_file() and not any(path == output.path for output in outputs)]
    kept: list[tuple[Path, Path | None]] = []  # (place, its old content's second name)
    try:
        for path in [*(output.path for output in replaced), *stale]:
            kept.append((path, _keep(path) if os.path.lexists(path) else None))
        for output in replaced:
            assert output.temporary is not None
            try:
                os.replace(output.temporary, output.path)
            except OSError as error:
                raise output.fault(_reason(error)) from None
            output.temporary = None
        for path in stale:
            with suppress(FileNotFoundError):
                os.unlink(path)
    except BaseException:
        for path, old in reversed(kept):
            with suppress(OSError):
                if old is not None:
                    os.replace(old, path)
                elif not any(output.path == path and output.temporary is not None
                             for output in replaced):
                    os.unlink(path)
        raise
    finally:
        for _, old in kept:
            if old is not None:
                with suppress(OSError):
                    os.unlink(old)


def _keep(path: Path) -> Path:
    """A second name (a hard link) for the file at `path`, beside it."""
    for _ in range(10):
        fd, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".old", dir=path.parent)
        os.close(fd)
        os.unlink(name)
        try:
            os.link(path, name)
        except FileExistsError:  # taken in the moment between: another name
            continue
        except OSError as error:
            raise ToolError(f"cannot replace {printable(path)}: {_reason(error)}") from None
        return Path(name)
    raise ToolError(f"cannot replace {printable(path)}: no free temporary name")


@contextmanager
def output_folder(target: str | os.PathLike[str], marker: str | None = None,
                  inputs: Iterable[str | os.PathLike[str]] = ()) -> Iterator[Path]:
    """A new, empty folder beside `target` to build an output folder in; when the block ends
    normally it takes the target's place (an earlier folder there is removed), when it does
    not it is removed. An existing folder is replaced only when it is empty or holds `marker`
    (the file that shows it is an earlier output), so that nothing else is ever removed."""
    place = Path(os.path.realpath(target))
    shown = printable(target)
    if os.path.lexists(place):
        if not place.is_dir():
            raise ToolError(f"cannot write {shown}: not a folder")
        if any(place.iterdir()) and (marker is None or not (place / marker).is_file()):
            raise ToolError(f"cannot write {shown}: the folder holds files of something else")
        resolved_inputs = [Path(os.path.realpath(path)) for path in inputs]
        if any(path == place or place in path.parents for path in resolved_inputs):
            raise ToolError(f"{shown} holds an input: choose another output folder")
    try:
        fresh = Path(tempfile.mkdtemp(prefix=f".{place.name}.", dir=place.parent))
    except OSError as error:
        raise ToolError(f"cannot write {shown}: {_reason(error)}") from None
    old: Path | None = None
    try:
        yield fresh
        try:
            os.chmod(fresh, 0o777 & ~_umask())
            if os.path.lexists(place):
                old = Path(tempfile.mkdtemp(prefix=f".{place.name}.", suffix=".old",
                                            dir=place.parent))
                os.replace(place, old)  # onto the empty folder just made
            try:
                os.replace(fresh, place)
            except BaseException:
                if old is not None:
                    os.replace(old, place)
                    old = None
                raise
        except OSError as error:
            raise ToolError(f"cannot write {shown}: {_reason(error)}") from None
    finally:
        for folder in (fresh, old):
            if folder is not None and os.path.lexists(folder):
                shutil.rmtree(folder, ignore_errors=True)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
