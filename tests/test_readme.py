"""Every shell command and Python snippet of README.md runs, taken from the README itself.

How each fenced block is treated:

- ```python blocks run in order, all in one fresh interpreter with `-W error`, in a scratch
  directory; a warning raised where Python can only report it (a file left open) fails too.
  They skip when pairloom is not installed as a distribution (a module in a build folder has
  no version to show).
- ```sh blocks run one by one, in order, with `bash -e -o pipefail` in one scratch directory
  that mirrors the project root (a symbolic link per top-level entry), so a block may use the
  files an earlier one wrote; after a block that did not pass, the later ones skip. They run with PAIRLOOM_CORPORA set,
  PAIRLOOM_ROOT naming the project root, and `python`/`python3` on PATH running this
  interpreter, its bin directory next. Install steps count as done: in each `&&` chain,
  `python3 -m venv DIR` and every `pip install ...` are dropped and a leading `.venv/bin/` is
  removed, so the interpreter that runs the tests stands for the README's virtualenv. A block that uses
  $PAIRLOOM_CORPORA skips without the corpora; one that runs the `pairloom` command skips
  when the console script is not installed, one that imports tokenizers, tiktoken or
  distributed when that package is missing.
- ```text and ```console blocks are output, never run. Any other info string fails the test,
  so that no snippet goes unrun by accident.
- An HTML comment on the line right before a block changes what happens to it:
  `<!-- readme-test: skip (reason) -->`: not run, for the reason given;
  `<!-- readme-test: ci (reason) -->`: the command that `.ci/run` executes (the whole lane
  suite, which must not run inside itself): the test checks that `.ci/run` runs exactly it.
"""

import dataclasses
import importlib.metadata
import importlib.util
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

from conftest import CORPORA

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
OUTPUT_LANGUAGES = {"text", "console"}
DIRECTIVE = re.compile(r"<!-- readme-test: (skip|ci) \((.+)\) -->")
INSTALL_STEP = re.compile(r"python3? -m venv \S+|(\S*/)?(pip|python3? -m pip) install( \S+)+")
NOT_MIRRORED = re.compile(r"\.git|\.venv.*|build.*|dist")


@dataclasses.dataclass
class Block:
    line: int  # of the first line of code
    language: str
    code: str
    directive: str | None = None
    reason: str | None = None


def readme_blocks():
    blocks, lines = [], README.read_text(encoding="utf-8").splitlines()
    k = 0
    while k < len(lines):
        fence = re.fullmatch(r"```(\S*)", lines[k])
        if not fence:
            k += 1
            continue
        end = lines.index("```", k + 1)
        block = Block(k + 2, fence.group(1), "\n".join(lines[k + 1:end]) + "\n")
        if k and (directive := DIRECTIVE.fullmatch(lines[k - 1])):
            block.directive, block.reason = directive.groups()
        blocks.append(block)
        k = end + 1
    return blocks


BLOCKS = readme_blocks()
SH_BLOCKS = [b for b in BLOCKS if b.language == "sh"]


def test_every_block_has_a_known_language_and_directive():
    text = README.read_text(encoding="utf-8")
    assert {b.language for b in BLOCKS} <= {"python", "sh"} | OUTPUT_LANGUAGES
    # A directive that matches no block (a typo, or a blank line between) would be ignored.
    assert len(re.findall(r"<!-- readme-test", text)) == sum(b.directive is not None
                                                            for b in BLOCKS)
    assert [b.language for b in BLOCKS if b.directive == "ci"] == ["sh"]


def test_python_blocks_run_in_order(tmp_path):
    try:
        importlib.metadata.version("pairloom")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("pairloom is not installed as a distribution (module from a build folder)")
    blocks = [b for b in BLOCKS if b.language == "python" and b.directive is None]
    program = "\n".join([
        "import gc, sys",
        "unraisable = []",
        "sys.unraisablehook = unraisable.append",
        "scope = {'__name__': '__main__'}",
        # Padding keeps the README's line numbers in tracebacks.
        *(f"exec(compile({chr(10) * (b.line - 1) + b.code!r}, {str(README)!r}, 'exec'), scope)"
          for b in blocks),
        "del scope",
        "gc.collect()",
        "if unraisable:",
        "    sys.exit('\\n'.join(f'{u.exc_type.__name__}: {u.exc_value}' for u in unraisable))",
    ])
    done = subprocess.run([sys.executable, "-W", "error", "-c", program], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def runnable(code):
    """The block's commands with the install steps dropped (see the module's doc)."""
    lines = []
    for line in code.splitlines():
        steps = [step.strip() for step in line.split("&&")]
        kept = [step.removeprefix(".venv/bin/") for step in steps
                if not INSTALL_STEP.fullmatch(step)]
        lines.append(" && ".join(kept))
    return "\n".join(lines) + "\n"


def check_ci_runs(code):
    ci = ROOT / ".ci" / "run"
    if not ci.is_file():
        pytest.skip(".ci/run is not shipped here (an unpacked sdist)")
    command = shlex.split(code)
    script = ci.read_text(encoding="utf-8").splitlines()
    execs = [shlex.split(line)[1:] for line in script if line.startswith("exec ")]
    assert execs, ".ci/run does not exec a command"

    def without_bash(words):
        return words[1:] if words[:1] == ["bash"] else words

    assert without_bash(execs[-1]) == without_bash(command)


@pytest.fixture(scope="module")
def shell(tmp_path_factory):
    """The scratch directory and environment that every shell block shares, and whether
    all blocks so far passed."""
    top = tmp_path_factory.mktemp("readme")
    scratch, shims = top / "scratch", top / "shims"
    scratch.mkdir()
    shims.mkdir()
    for entry in ROOT.iterdir():
        if not NOT_MIRRORED.fullmatch(entry.name):
            (scratch / entry.name).symlink_to(entry)
    # A wrapper, not a link: a virtualenv's interpreter knows its venv by its own path.
    for name in ("python", "python3"):
        (shims / name).write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} "$@"\n')
        (shims / name).chmod(0o755)
    bin_dir = os.path.dirname(sys.executable)
    env = dict(os.environ, PAIRLOOM_CORPORA=str(CORPORA), PAIRLOOM_ROOT=str(ROOT),
               PATH=os.pathsep.join([str(shims), bin_dir, os.environ.get("PATH", "")]))
    return {"cwd": scratch, "env": env, "bin": bin_dir, "all passed": True}


def why_not_here(code, bin_dir):
    """Why a block cannot run with this interpreter, or None."""
    if "PAIRLOOM_CORPORA" in code and not CORPORA.is_dir():
        return f"no text corpora at {CORPORA} (set PAIRLOOM_CORPORA to their folder)"
    if re.search(r"(^|[\s;&|(])pairloom\s", code) and not shutil.which("pairloom", path=bin_dir):
        return "the pairloom console script is not installed beside this interpreter"
    for package, extra in (("tokenizers", "hf"), ("tiktoken", "tiktoken"), ("distributed", "dask")):
        if re.search(rf"\bimport\b.*\b{package}\b", code) and not importlib.util.find_spec(package):
            return f"{package} is not installed (pip install 'pairloom[{extra}]')"
    return None


@pytest.mark.parametrize("block", SH_BLOCKS, ids=[f"line-{b.line}" for b in SH_BLOCKS])
def test_shell_block_runs(block, shell):
    if block.directive == "skip":
        pytest.skip(block.reason)
    if block.directive == "ci":
        check_ci_runs(block.code)
        return
    if not shell["all passed"]:
        pytest.skip("an earlier shell block did not pass, and this one may need its files")
    shell["all passed"] = False
    if reason := why_not_here(block.code, shell["bin"]):
        pytest.skip(reason)
    done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", runnable(block.code)],
                          cwd=shell["cwd"], env=shell["env"], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    shell["all passed"] = True
