"""The texts: where the shared corpora are, and cutting them into files of given sizes."""

from __future__ import annotations

import os
import sysconfig
from dataclasses import dataclass, field
from pathlib import Path

from .settings import MB

PROJECT_ROOT = Path(__file__).resolve().parents[2]
CORPORA_VARIABLE = "PAIRLOOM_CORPORA"


def default_corpora() -> Path:
    """$PAIRLOOM_CORPORA, else the corpora folder beside the project: ../shared/corpora."""
    configured = os.environ.get(CORPORA_VARIABLE)
    return Path(configured) if configured else PROJECT_ROOT.parent / "shared" / "corpora"


def books(corpora_dir: Path) -> list[Path]:
    """The Project Gutenberg books of the corpora, in a fixed order; SystemExit when there are
    none, naming where it looked."""
    found = sorted(corpora_dir.glob("gutenberg_*.txt"))
    if not found:
        raise SystemExit(f"no gutenberg_*.txt books in {corpora_dir}: point {CORPORA_VARIABLE} "
                         "or --corpora at the shared corpora")
    return found


def cut(data: bytes, size: int) -> bytes:
    """The first `size` bytes of `data`, shortened to end on a whole UTF-8 character."""
    if size >= len(data):
        return data
    end = size
    while end > 0 and (data[end] & 0xC0) == 0x80:
        end -= 1
    return data[:end]


def books_text(corpora_dir: Path, size: int) -> bytes:
    """The books concatenated, repeated as needed and cut to `size` bytes."""
    data = b"".join(path.read_bytes() for path in books(corpora_dir))
    return cut(data * (size // len(data) + 1), size)


def load_text(path: str | Path) -> str:
    # Bytes decoded as they are: CRLF line ends stay CRLF.
    return Path(path).read_bytes().decode("utf-8")


def stdlib_sources() -> bytes:
    """The running Python's standard library sources (tests included), in a fixed order."""
    root = Path(sysconfig.get_paths()["stdlib"])
    parts = []
    for path in sorted(root.rglob("*.py")):
        if {"site-packages", "dist-packages", "__pycache__"} & set(path.relative_to(root).parts):
            continue
        try:
            data = path.read_bytes()
            data.decode("utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        parts.append(data)
    return b"".join(parts)


@dataclass
class Inputs:
    """The texts of a run, as files of UTF-8 bytes in a scratch directory."""

    directory: Path
    main_name: str  # what the main text is
    main: bytes  # training text of the sweeps and the target problem
    main_corpus: str  # the corpus the main text begins with
    corpora: dict[str, bytes] = field(default_factory=dict)  # per corpus, for the by-corpus tables
    paths: dict[tuple[str, int, int, bool], Path] = field(default_factory=dict)

    def path(self, name: str, size: int, offset: int = 0, cycle: bool = False) -> Path:
        """A file holding `size` bytes of text `name` ("main" or a corpus) from `offset`.
        Where the text ends first, the file is shorter; with `cycle` the part from `offset`
        repeats instead, up to `size`."""
        if name == self.main_corpus and offset + size <= len(self.corpora[name]):
            name = "main"  # the same bytes: measured once
        key = (name, size, offset, cycle)
        if key not in self.paths:
            source = self.main if name == "main" else self.corpora[name]
            rest = source[len(cut(source, offset)):]
            data = cut(rest, size)
            suffix = ""
            if cycle and 0 < len(rest) < size:
                # The text ends on a whole character, so its repeats do too.
                data = cut(rest * (size // len(rest) + 1), size)
                suffix = "-cycled"
            path = self.directory / f"{name}-{offset}-{size}{suffix}.txt"
            path.write_bytes(data)
            self.paths[key] = path
        return self.paths[key]


def load_inputs(corpora_dir: Path, directory: Path) -> Inputs:
    stdlib = stdlib_sources()
    if not corpora_dir.is_dir():
        print(f"no corpora at {corpora_dir} (set {CORPORA_VARIABLE} or --corpora): "
              "measuring on the Python standard library's sources", flush=True)
        return Inputs(directory, "Python standard library sources", stdlib, "python-stdlib",
                      {"python-stdlib": stdlib})
    found = books(corpora_dir)
    english = b"".join(path.read_bytes() for path in found)
    code = (corpora_dir / "code_c_sqlite.txt").read_bytes() + (
        corpora_dir / "code_python_stdlib.txt"
    ).read_bytes()
    udhr = (corpora_dir / "udhr_multilingual.txt").read_bytes()
    # Beyond the books (about 19 MB), the main text goes on with the code and the UDHR.
    main = english + code + udhr
    name = (
        f"English books ({len(found)} Project Gutenberg texts, CRLF, {len(english) / MB:.1f} MB; "
        "larger inputs go on with the C/Python code and the UDHR)"
    )
    corpora = {"english": english, "udhr": udhr, "code": code, "python-stdlib": stdlib}
    return Inputs(directory, name, main, "english", corpora)

