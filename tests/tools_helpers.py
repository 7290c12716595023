"""Shared pieces of the pairloom_tools tests: running the command, corpora samples."""
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CORPORA = Path(os.environ.get("PAIRLOOM_CORPORA", ROOT / ".." / "shared" / "corpora"))
needs_corpora = pytest.mark.skipif(not CORPORA.is_dir(), reason=f"no corpora at {CORPORA}")


def run_cli(*args, cwd=None, env=None, timeout=600, **kwargs):
    """`pairloom ARGS...` through the interpreter, with the source tree's package first. A
    command that does not end in time fails the test with every thread's stack."""
    env = {**(env or os.environ), "PYTHONFAULTHANDLER": "1",
           "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    command = [sys.executable, "-m", "pairloom_tools", *map(str, args)]
    with subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, start_new_session=True, **kwargs) as process:
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            # The fault handler prints the stacks of the command and of its worker processes.
            os.killpg(process.pid, signal.SIGABRT)
            stdout, stderr = process.communicate()
            pytest.fail(f"pairloom {' '.join(map(str, args))} still ran after {timeout} s:\n"
                        + stderr.decode(errors="replace"))
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)


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
