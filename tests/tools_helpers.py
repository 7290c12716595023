"""Shared pieces of the pairloom_tools tests: running the command, corpora samples."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CORPORA = Path(os.environ.get("PAIRLOOM_CORPORA", ROOT / ".." / "shared" / "corpora"))
needs_corpora = pytest.mark.skipif(not CORPORA.is_dir(), reason=f"no corpora at {CORPORA}")


def run_cli(*args, cwd=None, env=None, **kwargs):
    """`pairloom ARGS...` through the interpreter, with the source tree's package first."""
    env = {**(env or os.environ),
           "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    return subprocess.run([sys.executable, "-m", "pairloom_tools", *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, timeout=600, **kwargs)


def corpus_files():
    return sorted(path for path in CORPORA.iterdir() if path.suffix == ".txt")


def corpus_samples(folder, size=200_000):
    """The first `size` bytes (cut at a character boundary) of every corpus, as files in
    `folder`; returns their paths in sorted order."""
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    for path in corpus_files():
        with open(path, "rb") as file:
            data = file.read(size)
        text = data.decode("utf-8", errors="ignore")
        target = folder / path.name
        target.write_bytes(text.encode("utf-8"))
        written.append(target)
    return written
