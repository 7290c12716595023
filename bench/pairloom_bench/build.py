"""Building what is measured: the module, the plain tool and the native encoding program, from
this checkout or from a commit."""

from __future__ import annotations

import argparse
import io
import shutil
import subprocess
import sys
import tarfile
from dataclasses import dataclass, field
from pathlib import Path

from .corpora import PROJECT_ROOT

ENGINE_TARGET = "encode_engine"
# The native encoding program is measured as built for these, each in its own folder.
ENGINE_ARCHES = {"engine": "", "engine-i386": "i386"}


@dataclass
class Build:
    module_dir: Path | None  # goes first on PYTHONPATH; None: the installed pairloom
    plain_tool: Path
    commit: str
    description: str
    engines: dict[str, Path] = field(default_factory=dict)  # system -> the built program
    engines_absent: dict[str, str] = field(default_factory=dict)  # system -> why not built


# For commits older than the tool's build option.
PLAIN_TOOL_CMAKE = """
# PAIRLOOM_BUILD_BENCH: added by bench/bench.py
add_executable(plain_bpe bench/plain_bpe.cpp)
target_link_libraries(plain_bpe PRIVATE pairloom_engine)
"""


def git(*args: str, cwd: Path = PROJECT_ROOT) -> str:
    return subprocess.run(
        ["git", *args], cwd=cwd, check=True, capture_output=True, text=True
    ).stdout.strip()


def configure(source: Path, out: Path, *options: str, capture: bool = False) -> None:
    """A Ninja build folder with the bench's tools; `capture`: the output goes into the
    CalledProcessError rather than to the terminal."""
    if not (out / "build.ninja").exists():
        subprocess.run(
            ["cmake", "-S", str(source), "-B", str(out), "-G", "Ninja",
             "-DPAIRLOOM_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release", *options],
            check=True, text=True, stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
            stderr=subprocess.PIPE if capture else None,
        )


def last_line(error: subprocess.CalledProcessError) -> str:
    text = "\n".join(filter(None, [error.stdout, error.stderr]))
    lines = [line for line in text.splitlines() if line.strip()]
    return (lines[-1] if lines else f"exit status {error.returncode}")[:300]


def build_engines(source: Path, out: Path, built: Build) -> None:
    """The native encoding program for 64 and 32 bits, where the source has it; otherwise
    the reason goes into `built.engines_absent`."""
    if not (source / "bench" / f"{ENGINE_TARGET}.cpp").exists():
        for system in ENGINE_ARCHES:
            built.engines_absent[system] = "not built (no bench/encode_engine.cpp)"
        return
    for system, arch in ENGINE_ARCHES.items():
        folder = out.parent / f"{out.name}-{arch}" if arch else out
        options = []
        if arch == "i386":
            options = [f"-DCMAKE_TOOLCHAIN_FILE={source / 'scripts' / 'i386-toolchain.cmake'}",
                       "-DPAIRLOOM_BUILD_MODULE=OFF"]
        try:
            configure(source, folder, *options, capture=True)
            subprocess.run(["ninja", "-C", str(folder), ENGINE_TARGET], check=True,
                           capture_output=True, text=True)
            built.engines[system] = folder / ENGINE_TARGET
        except subprocess.CalledProcessError as error:
            built.engines_absent[system] = f"not built ({last_line(error)})"
            print(f"{ENGINE_TARGET} ({arch or 'native'}): {built.engines_absent[system]}",
                  flush=True)


def build(args: argparse.Namespace) -> Build:
    build_dir = Path(args.build_dir).resolve()
    if args.ref:
        commit = git("rev-parse", args.ref)
        source = build_dir / f"src-{commit[:12]}"
        if not source.exists():
            archive = subprocess.run(
                ["git", "archive", commit], cwd=PROJECT_ROOT, check=True, capture_output=True
            ).stdout
            source.mkdir(parents=True)
            with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
                tar.extractall(source, filter="data")
        # The baseline tool comes from this checkout, so an older commit can be measured too.
        shutil.copy2(PROJECT_ROOT / "bench" / "plain_bpe.cpp", source / "bench" / "plain_bpe.cpp")
        cmake_lists = source / "CMakeLists.txt"
        if "PAIRLOOM_BUILD_BENCH" not in cmake_lists.read_text():
            with cmake_lists.open("a") as f:
                f.write(PLAIN_TOOL_CMAKE)
        out = build_dir / commit[:12]
        description = f"commit {commit[:12]} ({git('log', '-1', '--format=%s', commit)})"
    else:
        commit = git("rev-parse", "HEAD")
        source = PROJECT_ROOT
        out = build_dir
        changed = git("status", "--porcelain", "--", "src", "CMakeLists.txt")
        description = f"working tree at {commit[:12]}" + (
            " with uncommitted changes under src/" if changed else ""
        )
    configure(source, out, f"-DPython_EXECUTABLE={sys.executable}")
    targets = ["plain_bpe"] if args.installed else ["plain_bpe", "pairloom"]
    subprocess.run(["ninja", "-C", str(out), *targets], check=True, stdout=subprocess.DEVNULL)
    if args.installed:
        description = "installed pairloom module; plain tool from " + description
    built = Build(None if args.installed else out, out / "plain_bpe", commit, description)
    build_engines(source, out, built)
    return built
