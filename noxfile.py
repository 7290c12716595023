"""The Python lanes of pairloom (`nox -l` lists them; the engine lanes are CMake test presets).

The wheels are built once, from the sdist, by the `wheels` session (the first to run after
`format`); every other session tests those very wheels under one interpreter, or, in
`pytest-asan`, the module of the `asan` preset. The whole suite runs under pyenv's CPython 3.11
(every extra installed) and under ASan; the other interpreters run the tests that reach the
module's and the tools' native surface, which is where interpreters differ. Everything stays
under build-ci/, beside the CMake presets' build folders.

    PAIRLOOM_PYTEST_ARGS="..."   what pytest runs in every session instead of its own choice
"""

import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import tomllib

import nox

ROOT = pathlib.Path(__file__).resolve().parent
BUILD = ROOT / "build-ci"
DIST = BUILD / "dist"
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
SCRIPTS = ROOT / "scripts"
I386_INCLUDE = "/usr/include/python3.11"
I386_LIBDIR = "/usr/lib/i386-linux-gnu"

nox.options.envdir = str(BUILD / "nox")
nox.options.default_venv_backend = "venv"
nox.options.error_on_missing_interpreters = True
# Nothing a session runs writes into the source tree, and pip's cache stays under the build root.
ENV = {
    "PYTHONDONTWRITEBYTECODE": "1",
    "PIP_DISABLE_PIP_VERSION_CHECK": "1",
    "PIP_CACHE_DIR": os.environ.get("PIP_CACHE_DIR", str(BUILD / "pip-cache")),
    "HYPOTHESIS_STORAGE_DIRECTORY": str(BUILD / "hypothesis"),
    "PAIRLOOM_CORPORA": os.environ.get("PAIRLOOM_CORPORA", str(ROOT.parent / "shared" / "corpora")),
}
os.environ.update(ENV)

# What the tests need besides the module; numpy and mypy publish no i686 wheel, and the tests
# that need them skip there.
TEST_PACKAGES = ["pytest", "hypothesis", "tqdm", "numpy", "mypy"]
OPTIONAL_PACKAGES = {"numpy", "mypy"}
# Under interpreters beside the main one: the module's whole surface, the tools' native module
# and the command line, the files; the rest (memory caps, signals, forks, exports, Dask) does not
# depend on the interpreter's version.
SURFACE = [f"tests/test_{name}.py" for name in (
    "module", "arguments", "install", "platform_width", "encode", "decode", "train",
    "model_file", "vocab_file", "tools_train", "hostile_input")]


def pyenv(minor):
    """The newest pyenv CPython of a minor version, e.g. 3.12 (or pythonX.Y from PATH)."""
    root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    found = sorted(root.glob(f"versions/{minor}.*/bin/python{minor}"),
                   key=lambda path: [int(part) for part in path.parts[-3].split(".")])
    return str(found[-1]) if found else f"python{minor}"


def tests(default):
    return shlex.split(os.environ["PAIRLOOM_PYTEST_ARGS"]) if "PAIRLOOM_PYTEST_ARGS" in os.environ \
        else default


def wheels_built(session):
    """The wheels that the `wheels` session built (in a full run: just before, in this run)."""
    if len(list(DIST.glob("pairloom-*.whl"))) != 3:
        session.error(f"no wheels in {DIST}: run `nox -s wheels` first")


def pytest(session, python, site, want, args, env=None):
    """The suite from the project's root with -P, so that the source tree's pairloom_tools does
    not shadow the installed one. First checks that pip installed the wheel whose tag starts
    with `want` into `site`, and that the imports resolve there. The report goes to
    build-ci/SESSION.xml."""
    (info,) = pathlib.Path(site).glob("pairloom-*.dist-info")
    tag = next(line[5:] for line in (info / "WHEEL").read_text().splitlines()
               if line.startswith("Tag: "))
    if not tag.startswith(want):
        session.error(f"pip installed the wheel {tag}, wanted {want}")
    session.log(f"wheel {tag}")
    env = {**ENV, **(env or {})}
    found = session.run(python, "-P", "-c", "import pairloom, pairloom_tools._native as n; "
                        "print(pairloom.__file__, n.__file__)",
                        env=env, silent=True, external=True)
    for path in found.split():
        if not path.startswith(str(site)):
            session.error(f"imported {path} instead of the one in {site}")
    session.run(python, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                f"--junitxml={BUILD / session.name}.xml", *args, env=env, external=True)


@nox.session(python=False)
def format(session):
    """Every tracked C/C++ file laid out as clang-format-16 and .clang-format say."""
    files = subprocess.run(["git", "-C", str(ROOT), "ls-files", "*.c", "*.h", "*.cpp", "*.hpp"],
                           check=True, capture_output=True, text=True).stdout.split()
    if not files:
        session.error("no tracked C/C++ file found")
    session.run("clang-format-16", "--dry-run", "--Werror", "--style=file", *files, external=True,
                silent=True)
    session.log(f"{len(files)} files formatted as clang-format-16 lays them out")


# The wheels' toolchain: zig's clang with its own libc++, linked against glibc 2.17's symbols, so
# that the wheels are manylinux2014 (CentOS 7, Ubuntu 14.04 and every later glibc system).
ZIG_TARGETS = {"x86_64": "x86_64-linux-gnu.2.17", "i686": "x86-linux-gnu.2.17"}


def build_wheel(session, src, api, arch, *args):
    """One abi3 wheel for CPython `api` and later (e.g. 3.12) on `arch`. The wheels of one
    architecture share a build folder: only the binding differs between them."""
    import ziglang

    zig = pathlib.Path(ziglang.__file__).parent / "zig"
    target = ZIG_TARGETS[arch]
    # zig compiles its C++ and C runtimes for each target and optimisation level once, into its
    # cache (~/.cache/zig) that every clone shares; -O3 from the first compiler check on keeps
    # that to one level.
    env = {"CC": f"{zig} cc -target {target}", "CXX": f"{zig} c++ -target {target}",
           "CFLAGS": "-O3", "CXXFLAGS": "-O3"}
    if arch == "i686":
        # Debian's i386 headers of Python 3.11, and of them only: pyconfig.h includes
        # <i386-linux-gnu/python3.11/pyconfig.h>, and the rest of /usr/include/i386-linux-gnu
        # is this machine's C library, not the one the wheel is built for.
        include = BUILD / "wheels" / "i386-include"
        (include / "i386-linux-gnu").mkdir(parents=True, exist_ok=True)
        link = include / "i386-linux-gnu" / "python3.11"
        if not link.exists():
            link.symlink_to("/usr/include/i386-linux-gnu/python3.11")
        # The platform tag follows _PYTHON_HOST_PLATFORM.
        env |= {"CFLAGS": f"-O3 -isystem {include}", "CXXFLAGS": f"-O3 -isystem {include}",
                "_PYTHON_HOST_PLATFORM": "linux-i686"}
        args += ("-C", f"cmake.define.PAIRLOOM_PYTHON_INCLUDE_DIR={I386_INCLUDE}")
    raw = BUILD / "wheels" / f"{api}-{arch}"
    session.run(sys.executable, "-m", "build", "--wheel", "--outdir", str(raw),
                "-C", f"build-dir={BUILD / 'wheels' / f'build-{arch}'}",
                "-C", f"wheel.py-api=cp{api.replace('.', '')}",
                "-C", f"cmake.define.PAIRLOOM_LIMITED_API={api}", *args, str(src), env=env)
    session.run("auditwheel", "repair", "--wheel-dir", str(DIST), *map(str, raw.glob("*.whl")))


@nox.session(python=False)
def wheels(session):
    """The sdist; from it, abi3 wheels for manylinux2014 (cp311, cp312 x86_64; cp311 i686).

    Never from the working tree. auditwheel repairs and shows each, which must be
    manylinux2014, and abi3audit --strict must pass."""
    work = BUILD / "wheels"
    shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(DIST, ignore_errors=True)
    DIST.mkdir(parents=True)
    session.run(sys.executable, "-m", "build", "--sdist", "--outdir", str(DIST), str(ROOT))
    (sdist,) = DIST.glob("pairloom-*.tar.gz")
    shutil.unpack_archive(sdist, work / "src")
    (src,) = (work / "src").iterdir()
    build_wheel(session, src, "3.11", "x86_64")
    build_wheel(session, src, "3.12", "x86_64")
    build_wheel(session, src, "3.11", "i686")
    built = sorted(DIST.glob("*.whl"))
    tags = sorted("-".join(whl.stem.split("-")[2:]) for whl in built)
    session.log(f"wheels: {' '.join(tags)}")
    if len(built) != 3 or not all("manylinux2014" in tag for tag in tags):
        session.error(f"wanted 3 manylinux2014 wheels, got {tags}")
    for whl in built:
        session.run("auditwheel", "show", str(whl))
    session.run("abi3audit", "--strict", "--verbose", *map(str, built))


def wheel_session(name, python, what, extras="test", default=SURFACE):
    which = "the whole suite, every extra" if default == ["tests"] else "the native surface's tests"

    @nox.session(name=name, python=python)
    def run(session):
        wheels_built(session)
        session.install("--no-index", "--find-links", str(DIST), "--no-deps",
                        f"pairloom=={VERSION}")
        session.install(f"pairloom[{extras}]=={VERSION}", *TEST_PACKAGES)
        site, version = session.run(
            "python", "-c", "import sys, sysconfig; "
            "print(sysconfig.get_path('platlib'), sys.version_info >= (3, 12))",
            silent=True).split()
        want = "cp312-abi3" if version == "True" else "cp311-abi3"
        pytest(session, "python", site, want, tests(default))

    run.__doc__ = f"The wheel pip picks, in a clean virtualenv of {what}: {which}."
    return run


wheel_session("wheel-3.11", pyenv("3.11"), "pyenv's CPython 3.11", "test,hf,tiktoken,dask",
              ["tests"])
wheel_session("wheel-3.12", pyenv("3.12"), "pyenv's CPython 3.12")
wheel_session("wheel-3.13", pyenv("3.13"), "pyenv's CPython 3.13")
wheel_session("wheel-debian-3.11", "/usr/bin/python3.11", "Debian's CPython 3.11")


def target_install(session, site, pyver, arch):
    """This run's wheel for CPython `pyver` on `arch` and the test tools, into the pip --target
    folder `site` (for interpreters that come without pip)."""
    platforms = [f"--platform={tag}_{arch}" for tag in
                 ("manylinux2014", "manylinux_2_28", "manylinux_2_34", "manylinux_2_36")]
    pip = [sys.executable, "-m", "pip", "install", "-q", "--target", str(site),
           f"--python-version={pyver}", "--implementation=cp", "--only-binary=:all:", *platforms]
    wheels_built(session)
    shutil.rmtree(site, ignore_errors=True)
    session.run(*pip, "--no-index", "--find-links", str(DIST), "--no-deps", f"pairloom=={VERSION}")
    session.run(*pip, *(name for name in TEST_PACKAGES if name not in OPTIONAL_PACKAGES))
    for name in sorted(OPTIONAL_PACKAGES):
        if subprocess.run([*pip, name], check=False).returncode != 0:
            session.log(f"no {name} wheel for CPython {pyver} on {arch}")


def check_32bit(session, python, env):
    session.run(python, "-P", "-c", """if True:
        import struct, sys, pairloom
        assert struct.calcsize("P") == 4 and sys.maxsize == 2**31 - 1
        with open(pairloom.__file__, "rb") as f:
            assert f.read(5) == b"\\x7fELF\\x01", "not an ELF32 module: " + pairloom.__file__
        print("Python", sys.version.split()[0], "pointer bytes 4,", pairloom.__file__)""",
                env={**ENV, **env}, external=True)


@nox.session(python=False)
def i386(session):
    """The i686 wheel under a 32-bit CPython 3.11: its tests, then valgrind memcheck.

    The interpreter is a launcher over Debian's i386 libpython."""
    work = BUILD / "i386"
    work.mkdir(parents=True, exist_ok=True)
    python = work / "python3.11-i386"
    session.run("gcc", "-m32", "-O2", f"-I{I386_INCLUDE}", str(SCRIPTS / "py32-launcher.c"),
                "-o", str(python), f"-L{I386_LIBDIR}", "-lpython3.11", external=True)
    site = work / "site"
    target_install(session, site, "3.11", "i686")
    env = {"PYTHONHOME": "/usr", "PYTHONPATH": str(site)}
    check_32bit(session, str(python), env)
    pytest(session, str(python), site, "cp311-abi3", tests(SURFACE), env)
    (module,) = site.glob("pairloom.*.so")
    session.run(str(python), str(SCRIPTS / "memcheck.py"), "run", str(work / "memcheck.xml"),
                str(python), str(module), env={**ENV, **env}, external=True)


def py314(session, arch, platform, want):
    root = BUILD / "python3.14"
    python = session.run("bash", str(SCRIPTS / "fetch-python.sh"), arch, str(root / arch),
                         silent=True, external=True).strip().splitlines()[-1]
    site = root / f"site-{arch}"
    target_install(session, site, "3.14", platform)
    env = {"PYTHONHOME": str(root / arch / "usr"), "PYTHONPATH": str(site)}
    if arch == "i386":
        check_32bit(session, python, env)
    pytest(session, python, site, want, tests(SURFACE), env)


@nox.session(name="py314", python=False)
def py314_amd64(session):
    """The wheel pip picks for Debian unstable's CPython 3.14: the native surface's tests."""
    py314(session, "amd64", "x86_64", "cp312-abi3")


@nox.session(name="py314-i386", python=False)
def py314_i386(session):
    """The i686 wheel under Debian unstable's 32-bit CPython 3.14: the same tests."""
    py314(session, "i386", "i686", "cp311-abi3")


@nox.session(name="pytest-asan", python=pyenv("3.11"))
def pytest_asan(session):
    """The whole suite against the module of the asan preset (ASan + UBSan).

    libasan preloaded, Python objects on malloc so that ASan sees them too."""
    session.install(*TEST_PACKAGES)
    session.run("cmake", "--preset", "asan", external=True)
    session.run("cmake", "--build", "--preset", "asan", external=True)
    # The build folder holds the module, and the tools' native module in pairloom_tools/ where
    # the source tree's package looks for it.
    build = BUILD / "asan"

    def runtime(name):
        return subprocess.run(["g++", f"-print-file-name={name}"], check=True,
                              capture_output=True, text=True).stdout.strip()

    # The interpreter is not instrumented, so ASan's runtime comes first in the process, and
    # the C++ runtime must be there when ASan starts, or its interception of throwing finds
    # nothing to forward to. Leak checking stays off: no suppression can tell the interpreter's
    # lasting allocations from the module's (every stack passes through it); the valgrind lane
    # judges leaks. Left out: tests that cap the address space (ASan's shadow needs terabytes
    # of it) or weigh the process's memory (the shadow and the quarantine count too).
    env = {"LD_PRELOAD": f"{runtime('libasan.so')} {runtime('libstdc++.so')}",
           "ASAN_OPTIONS": "halt_on_error=1:detect_leaks=0:detect_stack_use_after_return=1:"
                           "check_initialization_order=1:strict_init_order=1",
           "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
           "PYTHONMALLOC": "malloc", "PYTHONPATH": str(build)}
    skip = ["tests/test_huge_tokens.py",
            "tests/test_memory.py::test_training_under_a_memory_cap_fails_cleanly",
            "tests/test_memory.py::test_encoding_and_loading_under_a_memory_cap",
            "tests/test_memory.py::test_load_running_out_of_memory_part_way_keeps_what_was_read",
            "tests/test_model_file.py::test_huge_files_load_in_bounded_memory"]
    # Without -P: the source tree's pairloom_tools is the one under test here.
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                f"--junitxml={BUILD / 'pytest-asan'}.xml", *tests(["tests"]),
                *(f"--deselect={name}" for name in skip), env={**ENV, **env})


@nox.session(python=pyenv("3.11"), default=False)
def soak(session):
    """100,000 calls of every method with the memory weighed (7 minutes; only when named).

    Failing calls included; the process's memory is weighed before and after."""
    wheels_built(session)
    session.install("--no-index", "--find-links", str(DIST), "--no-deps", f"pairloom=={VERSION}")
    session.install(f"pairloom[test]=={VERSION}", *TEST_PACKAGES)
    session.run("python", "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "soak",
                "tests/test_memory.py", env={**ENV, "PAIRLOOM_SOAK": "1"})
