"""The tools' output layer: what each kind of output path becomes, and sets that commit whole.
(Devices and FIFOs are written through by the commands in test_tools_faults.py.)"""
import os
import socket
import stat

import pytest

from pairloom_tools import outputs
from pairloom_tools.files import ToolError


def leftovers(folder):
    """Temporaries, kept old contents and scratch folders: every name the layer makes starts
    with a dot."""
    return sorted(path.name for path in folder.rglob(".*"))


def write(*targets, content=b"new", **options):
    with outputs.output_files(*targets, **options) as temporaries:
        for temporary in temporaries:
            temporary.write_bytes(content)


@pytest.mark.parametrize("kind", ["new", "file", "symlink", "dangling-symlink"])
def test_files_and_links_are_replaced_whole(tmp_path, kind):
    target = tmp_path / "out"
    written = target
    if kind == "file":
        target.write_bytes(b"old content")
        target.chmod(0o640)
    elif kind != "new":
        written = tmp_path / "elsewhere" / "real"
        written.parent.mkdir()
        if kind == "symlink":
            written.write_bytes(b"old")
        target.symlink_to(written)
    write(target)
    assert written.read_bytes() == b"new"
    if kind == "file":
        assert stat.S_IMODE(target.stat().st_mode) == 0o640  # the replaced file's mode
    if "symlink" in kind:
        assert target.is_symlink() and os.readlink(target) == str(written)
    assert leftovers(tmp_path) == []


def test_what_cannot_take_a_file_is_refused_before_anything_is_made(tmp_path):
    (tmp_path / "folder").mkdir()
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(tmp_path / "socket"))
        for name, reason in [("folder", "it is a folder"), ("socket", "not a regular file")]:
            with pytest.raises(ToolError, match=reason):
                write(tmp_path / "new", tmp_path / name)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder", "socket"]


def test_a_set_is_committed_whole_or_not_at_all(tmp_path, monkeypatch):
    first, second, stale = tmp_path / "a", tmp_path / "b", tmp_path / "a.extra"
    first.write_bytes(b"old a")
    stale.write_bytes(b"old extra")
    # A failure inside the block: nothing changes.
    with pytest.raises(RuntimeError):
        with outputs.output_files(first, second, remove=[stale]) as temporaries:
            temporaries[0].write_bytes(b"new a")
            raise RuntimeError
    assert first.read_bytes() == b"old a" and not second.exists() and stale.exists()
    # The second rename fails: the first file is put back, the stale one kept.
    replace = os.replace
    calls = []

    def failing_replace(source, destination):
        calls.append(destination)
        if len(calls) == 2:
            raise OSError(5, "Input/output error")
        replace(source, destination)

    monkeypatch.setattr(outputs.os, "replace", failing_replace)
    with pytest.raises(ToolError, match="cannot write .*b: Input/output error"):
        write(first, second, remove=[stale])
    monkeypatch.undo()
    assert first.read_bytes() == b"old a" and not second.exists()
    assert stale.read_bytes() == b"old extra" and leftovers(tmp_path) == []
    write(first, second, remove=[stale])
    assert first.read_bytes() == second.read_bytes() == b"new" and not stale.exists()
    with pytest.raises(ToolError, match="the same file"):
        write(first, tmp_path / "." / "a")
    assert leftovers(tmp_path) == []


def test_a_folder_is_swapped_in_whole(tmp_path):
    target = tmp_path / "out"
    for run in ("first", "second"):
        with outputs.output_folder(target, marker="manifest.json") as fresh:
            (fresh / "manifest.json").write_text(run)
            (fresh / run).write_text(run)
        assert sorted(p.name for p in target.iterdir()) == sorted(["manifest.json", run])
    with pytest.raises(RuntimeError):
        with outputs.output_folder(target, marker="manifest.json") as fresh:
            (fresh / "manifest.json").write_text("third")
            raise RuntimeError
    assert (target / "manifest.json").read_text() == "second"
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "notes.txt").write_text("not an output")
    with pytest.raises(ToolError, match="holds files of something else"):
        with outputs.output_folder(tmp_path / "mine", marker="manifest.json"):
            pass
    assert leftovers(tmp_path) == []
