"""The installed package: one abi3 binary that holds the engine, exports only its initialisers
(its own and the tools' native module's) and leaves the interpreter's symbols to the process
that loads it; one worker pool whichever module trains; the shipped demo running on it."""

import importlib.machinery
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import pairloom

READELF = shutil.which("readelf")
needs_readelf = pytest.mark.skipif(READELF is None, reason="readelf (binutils) not installed")


def readelf(*args):
    return subprocess.run([READELF, "-W", *args, pairloom.__file__], check=True,
                          capture_output=True, text=True).stdout


def test_module_is_the_stable_abi_build():
    assert pairloom.__file__.endswith(".abi3.so")
    assert ".abi3.so" in importlib.machinery.EXTENSION_SUFFIXES


@needs_readelf
def test_only_the_initialisers_are_exported():
    # Weak and unique symbols are the C++ runtime's own (type info, template statics) and
    # are shared with other libraries on purpose; everything of ours must stay hidden.
    exported = set()
    for line in readelf("--dyn-syms").splitlines():
        fields = line.split()
        if len(fields) < 8 or not fields[0].endswith(":"):
            continue
        kind, binding, visibility, section, name = fields[3:8]
        if (section != "UND" and binding == "GLOBAL" and visibility == "DEFAULT"
                and kind in ("FUNC", "OBJECT")):
            exported.add(name.split("@")[0])
    # pairloom_tools._native is a C module that hands Python the second one.
    assert exported == {"PyInit_pairloom", "pairloom_tools_native_init"}


@needs_readelf
def test_libpython_is_not_a_link_dependency():
    # An extension module takes the interpreter's symbols from the process; a libpython
    # dependency would tie it to one shared library and break statically linked interpreters.
    needed = [line for line in readelf("--dynamic").splitlines() if "(NEEDED)" in line]
    assert needed, "no dynamic section read"
    assert not [line for line in needed if "libpython" in line]


@needs_readelf
def test_every_interpreter_function_is_a_firm_reference():
    # A weak reference would let the module load on an interpreter that lacks the function
    # and reach a newer API than its abi3 tag promises; the API is chosen at compile time.
    weak = set()
    for line in readelf("--dyn-syms").splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[6] == "UND" and fields[4] == "WEAK":
            weak.add(fields[7].split("@")[0])
    assert not {name for name in weak if name.startswith(("Py", "_Py"))}


DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"


@pytest.mark.skipif(not DEMO.exists(), reason="examples/ not shipped here")
@pytest.mark.parametrize("source, merges", [
    ("the cat sat on the mat; the dog ate the hat.\n" * 500 + "café ünïcödé\n", 44),
    # Runs out of pairs after three merges: the demo must say 3, not what vocab_size allows.
    ("abcabc", 3),
    (None, 44),  # the standard library's sources
], ids=["text file", "tiny file", "standard library"])
def test_demo_runs_end_to_end(source, merges, tmp_path):
    args = [sys.executable, str(DEMO), "--vocab-size", "300", "--max-bytes", "200000",
            "--out", str(tmp_path / "out")]
    if source is not None:
        corpus = tmp_path / "corpus.txt"
        corpus.write_text(source, encoding="utf-8")
        args.insert(2, str(corpus))
    done = subprocess.run(args, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"learned {merges} merges (vocab_size 300 allows 44)" in done.stdout
    assert "round trip ok" in done.stdout
    assert "decodes the sample identically" in done.stdout
    assert (tmp_path / "out" / "demo.model").read_text(encoding="utf-8").startswith("pairloom v1\n")
    listing = (tmp_path / "out" / "demo.vocab").read_text(encoding="utf-8").splitlines()
    assert len(listing) == 256 + merges


ONE_POOL = """
import os, sys
import pairloom
from pairloom_tools import cli

def threads():
    return len(os.listdir("/proc/self/task"))

corpus = sys.argv[1]
before = threads()
with open(corpus, encoding="utf-8") as f:
    pairloom.BasicTokenizer(2).train(f.read(), 300)
after_module = threads()
code = cli.main(["train", corpus, "--vocab-size", "300", "--threads", "2", "--quiet",
                 "--output", corpus + ".out"])
print(before, after_module, threads(), code)
"""


@pytest.mark.skipif(not pathlib.Path("/proc/self/task").is_dir(), reason="no /proc/self/task")
def test_both_modules_share_one_worker_pool(tmp_path):
    # The module and the tools' native module use one copy of the engine, so training through
    # both starts the process's worker pool once: the command adds no thread of its own.
    pytest.importorskip("pairloom_tools._native")
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("the cat sat on the mat; the dog ate the hat.\n" * 2000, encoding="utf-8")
    # The child imports what this process imports.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, sys.path))}
    done = subprocess.run([sys.executable, "-c", ONE_POOL, str(corpus)], capture_output=True,
                          text=True, timeout=600, cwd=tmp_path, env=env)
    assert done.returncode == 0, done.stderr
    before, after_module, after_command, code = map(int, done.stdout.splitlines()[-1].split())
    assert code == 0
    assert after_command == after_module
    if len(os.sched_getaffinity(0)) > 1:
        assert after_module > before
