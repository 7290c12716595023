"""The type stubs shipped beside the module: they match the module, mypy finds them where the
package is installed (not in the source tree), and the examples type-check against them."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def installed_stubs():
    for entry in sys.path:
        stub = pathlib.Path(entry or ".").resolve() / "pairloom-stubs" / "__init__.pyi"
        if stub.is_file() and stub.parent.parent != ROOT:
            return stub
    return None


needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy not installed (pip install '.[test]')")
needs_stubs = pytest.mark.skipif(installed_stubs() is None,
                                 reason="pairloom-stubs not installed beside the module "
                                        "(module run from a build folder)")


def mypy(cwd, *args):
    """Runs mypy (or one of its tools) from `cwd`, away from the source tree's stubs."""
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=600)


@needs_mypy
@needs_stubs
@pytest.mark.parametrize("module", ["pairloom", "pairloom_tools._native"])
def test_stubs_match_the_module(tmp_path, module):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not built here")
    done = mypy(tmp_path, "mypy.stubtest", module)
    assert done.returncode == 0, done.stdout + done.stderr


@needs_mypy
@needs_stubs
def test_mypy_reads_the_installed_stubs(tmp_path):
    (tmp_path / "use.py").write_text(
        "import pairloom\n"
        "reveal_type(pairloom.BasicTokenizer().encode('x'))\n"
        "pairloom.BasicTokenizer().decode('abc')\n",  # a str is refused at run time too
        encoding="utf-8")
    done = mypy(tmp_path, "mypy", "--strict", "--no-incremental", "use.py")
    # mypy before 2.0 spells the builtins out.
    assert re.search(r'^use\.py:2: note: Revealed type is "(builtins\.)?list\[(builtins\.)?int\]"$',
                     done.stdout, re.MULTILINE), done.stdout
    assert re.search(r"^use\.py:3: error: .*\"decode\"", done.stdout, re.MULTILINE), done.stdout
    assert "Found 1 error in 1 file" in done.stdout


@needs_mypy
@needs_stubs
@pytest.mark.skipif(not EXAMPLES, reason="examples/ not shipped here")
@pytest.mark.parametrize("target", [
    [str(example) for example in EXAMPLES],
    # The tools package as installed beside the module, found by its py.typed marker.
    ["-p", "pairloom_tools"],
], ids=["examples", "pairloom_tools"])
def test_examples_and_tools_pass_strict_mypy(tmp_path, target):
    # Strict mode checks the calls into the optional packages too, so it needs them all; the
    # lane that installs every extra runs it.
    missing = [name for name in ("numpy", "tokenizers", "tiktoken", "distributed")
               if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"needs every optional package installed; missing: {', '.join(missing)}")
    done = mypy(tmp_path, "mypy", "--strict", "--no-incremental", *target)
    assert done.returncode == 0, done.stdout + done.stderr
