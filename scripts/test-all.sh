#!/usr/bin/env bash
# Runs every test lane of pairloom and prints a summary with the test counts of each lane.
# Exits non-zero when any lane fails.
#
# Lanes (default: all but fuzz-i386, in this order):
#   engine        GoogleTest suite of the engine (Release, warnings are errors)
#   wheel         `pip install .[test]` into a venv of pyenv CPython 3.11, pytest there
#   abi3          the same abi3 module, not rebuilt, under pyenv 3.12/3.13/3.14 and
#                 Debian's /usr/bin/python3.11 (absent interpreters are skipped)
#   i386          the module built with -m32, pytest under a 32-bit CPython 3.11
#   engine-i386   GoogleTest suite of the engine built with -m32
#   engine-asan   GoogleTest suite under AddressSanitizer + UndefinedBehaviorSanitizer (gcc)
#   engine-tsan   GoogleTest suite under ThreadSanitizer: the worker pool, parallel counting,
#                 training with num_threads >= 2
#   engine-i386-asan  GoogleTest suite built with -m32 under ASan + UBSan
#   pytest-asan   pytest against the module built with ASan + UBSan, libasan preloaded into
#                 pyenv CPython 3.11, Python objects on malloc so ASan sees them too
#   valgrind      one script calling every method (failures included) under valgrind
#                 memcheck; fails on a definite leak or a memory error in the module
#   valgrind-i386 the same for the i386 lane's module under the 32-bit CPython (needs that
#                 lane in the same run)
#   fuzz          libFuzzer targets (fuzz/, clang, ASan + UBSan): the committed corpus, then
#                 PAIRLOOM_FUZZ_SECONDS (default 60) of fuzzing per target
#   fuzz-i386     the same targets built with -m32, PAIRLOOM_FUZZ_I386_SECONDS (default 20)
#                 each; only when named (the engine-i386 lanes already replay the corpora)
#
# Environment:
#   PAIRLOOM_LANES="engine wheel"   run only these lanes (spaces or commas)
#   PAIRLOOM_BUILD_ROOT=DIR         build directories and venvs (default: <repo>/build-ci)
#   PAIRLOOM_SKIP_INSTALL=1         don't run scripts/install-test-deps.sh first
#   PAIRLOOM_PYTEST_ARGS="tests/test_x.py -x"
#                                   what pytest runs in every Python lane (default: tests)
#   PAIRLOOM_GTEST_ARGS="--gtest_filter=Foo.*" extra arguments for the GoogleTest lanes
#   PAIRLOOM_FUZZ_SECONDS=60, PAIRLOOM_FUZZ_I386_SECONDS=20
#                                   fuzzing time per target in the fuzz lanes
#
# Adding a lane: write a function lane_<name> (dashes become underscores) that ends with
# run_suite or record, and add <name> to ALL_LANES.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

ALL_LANES=(engine wheel abi3 i386 engine-i386 engine-asan engine-tsan engine-i386-asan pytest-asan
  valgrind valgrind-i386 fuzz)
# Lanes that run only when named in PAIRLOOM_LANES.
EXTRA_LANES=(fuzz-i386 soak)
BUILD_ROOT="${PAIRLOOM_BUILD_ROOT:-$repo/build-ci}"
JOBS="${PAIRLOOM_JOBS:-$(nproc)}"
read -r -a PYTEST_ARGS <<<"${PAIRLOOM_PYTEST_ARGS:-tests}"
read -r -a GTEST_ARGS <<<"${PAIRLOOM_GTEST_ARGS:-}"
I386_INCLUDE=/usr/include/python3.11
I386_LIBDIR=/usr/lib/i386-linux-gnu

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

# pytest_lane NAME REPORT PYTHON [ENV-ARGS...]: the Python suite, from the repository
# root, under PYTHON with the environment changed by `env` arguments (-u VAR, VAR=VALUE).
pytest_lane() {
  local name="$1" report="$2" python="$3"
  shift 3
  run_suite "$name" "$report" env -C "$repo" "$@" "$python" -m pytest -q \
    -p no:cacheprovider --junitxml="$report" "${PYTEST_ARGS[@]}"
}

# ---------------------------------------------------------------------------------------
# Lanes

lane_engine() {
  local dir="$BUILD_ROOT/engine"
  step engine "cmake configure" cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPAIRLOOM_BUILD_TESTS=ON -DPAIRLOOM_WERROR=ON -DPython_EXECUTABLE="$PY" || return
  step engine "build" cmake --build "$dir" --parallel "$JOBS" || return
  run_suite engine "$dir/engine-tests.xml" \
    "$dir/engine_tests" --gtest_output="xml:$dir/engine-tests.xml" "${GTEST_ARGS[@]}"
}

WHEEL_VENV="$BUILD_ROOT/venv-3.11"
ABI3_STAGE="$BUILD_ROOT/abi3-module"
WHEEL_STATE=none # none, built or failed: what install_wheel did in this run

# pip install .[test] into a fresh-enough venv (the real scikit-build-core build), and
# copy the installed module aside for the other interpreters.
install_wheel() {
  local name="$1" so
  WHEEL_STATE=failed
  if [[ ! -x "$WHEEL_VENV/bin/python" ]]; then
    step "$name" "venv" "$PY" -m venv "$WHEEL_VENV" || return
  fi
  # Always a clean build directory: pip builds in a new isolated environment every time,
  # and a cache that points into the last one is not worth the trouble.
  rm -rf "$BUILD_ROOT/wheel-build"
  step "$name" "pip install ." env PIP_DISABLE_PIP_VERSION_CHECK=1 \
    "$WHEEL_VENV/bin/python" -m pip install -q -C build-dir="$BUILD_ROOT/wheel-build" \
    "${repo}[test]" || return
  so="$(cd / && env -u PYTHONPATH "$WHEEL_VENV/bin/python" -c \
    'import pairloom; print(pairloom.__file__)')" || {
    record_broken "$name" "installed module does not import"
    return 1
  }
  case "$so" in
  "$WHEEL_VENV"/*.abi3.so) ;;
  *)
    record_broken "$name" "unexpected module $so"
    return 1
    ;;
  esac
  rm -rf "$ABI3_STAGE" && mkdir -p "$ABI3_STAGE" && cp "$so" "$ABI3_STAGE/"
  WHEEL_STATE=built
  note "$name: installed $so"
}

lane_wheel() {
  install_wheel wheel-3.11 || return
  pytest_lane wheel-3.11 "$BUILD_ROOT/wheel-3.11.xml" "$WHEEL_VENV/bin/python" -u PYTHONPATH
}

# 100,000 calls of every method, failing ones included, with the process's memory weighed
# before and after (about 7 minutes): run on demand, PAIRLOOM_LANES=soak.
lane_soak() {
  case $WHEEL_STATE in
  none) install_wheel soak-build || return ;;
  failed)
    record_broken soak "no module: pip install . failed"
    return 1
    ;;
  esac
  run_suite soak "$BUILD_ROOT/soak.xml" env -C "$repo" -u PYTHONPATH PAIRLOOM_SOAK=1 \
    "$WHEEL_VENV/bin/python" -m pytest -q -p no:cacheprovider --junitxml="$BUILD_ROOT/soak.xml" \
    -m soak tests/test_memory.py
}

lane_abi3() {
  # The module of the wheel lane when it ran in this run; never a stale one.
  case $WHEEL_STATE in
  none) install_wheel abi3-build || return ;;
  failed)
    record_broken abi3 "no module: pip install . failed"
    return 1
    ;;
  esac
  local version python
  for version in "${PAIRLOOM_EXTRA_PYTHONS[@]}"; do
    if python="$(pyenv_python "$version")"; then
      abi3_under "abi3-$version" "$python"
    else
      record_skip "abi3-$version" "no pyenv CPython $version on this machine"
    fi
  done
  if [[ -x /usr/bin/python3.11 ]] && /usr/bin/python3.11 -c 'import pytest' 2>/dev/null; then
    abi3_under abi3-debian-3.11 /usr/bin/python3.11
  else
    record_skip abi3-debian-3.11 "no /usr/bin/python3.11 with Debian's python3-pytest"
  fi
}

abi3_under() {
  local name="$1" python="$2" where
  where="$(cd / && PYTHONPATH="$ABI3_STAGE" "$python" -c \
    'import pairloom; print(pairloom.__file__)')"
  if [[ "$where" != "$ABI3_STAGE"/* ]]; then
    record_broken "$name" "imported ${where:-nothing} instead of the staged module"
    return 1
  fi
  pytest_lane "$name" "$BUILD_ROOT/$name.xml" "$python" PYTHONPATH="$ABI3_STAGE"
}

I386_DIR="$BUILD_ROOT/i386"
I386_PYTHON="$I386_DIR/python3.11-i386"
I386_STATE=none # built once lane_i386 has built the module and the interpreter in this run

is_elf32() { [[ "$(head -c 5 "$1" | od -An -tx1 | tr -d ' \n')" == 7f454c4601 ]]; }

have_i386_gtest() { [[ -e "$I386_LIBDIR/libgtest.a" || -e "$I386_LIBDIR/libgtest.so" ]]; }

configure_i386() {
  local name="$1" tests=OFF
  have_i386_gtest && tests=ON
  [[ -e "$I386_INCLUDE/Python.h" && -e /usr/include/i386-linux-gnu/python3.11/pyconfig.h ]] || {
    record_broken "$name" "i386 Python headers missing (libpython3.11-dev:i386)"
    return 1
  }
  step "$name" "cmake configure" cmake -S "$repo" -B "$I386_DIR" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$here/i386-toolchain.cmake" \
    -DPAIRLOOM_WERROR=ON -DPAIRLOOM_PYTHON_INCLUDE_DIR="$I386_INCLUDE" \
    -DPAIRLOOM_BUILD_TESTS="$tests"
}

lane_i386() {
  configure_i386 i386 || return
  step i386 "build" cmake --build "$I386_DIR" --parallel "$JOBS" --target pairloom || return
  step i386 "launcher build" gcc -m32 -O2 -I"$I386_INCLUDE" "$here/py32-launcher.c" \
    -o "$I386_PYTHON" -L"$I386_LIBDIR" -lpython3.11 || return
  local stage="$I386_DIR/module"
  rm -rf "$stage" && mkdir -p "$stage" && cp "$I386_DIR/pairloom.abi3.so" "$stage/"
  # Prove that this really is a 32-bit interpreter loading a 32-bit module.
  step i386 "32-bit check" env PYTHONHOME=/usr PYTHONPATH="$stage" "$I386_PYTHON" -c '
import struct, sys, pairloom
assert struct.calcsize("P") == 4 and sys.maxsize == 2**31 - 1, (struct.calcsize("P"), sys.maxsize)
with open(pairloom.__file__, "rb") as f:
    assert f.read(5) == b"\x7fELF\x01", "module is not ELF32: " + pairloom.__file__
print("[pairloom] i386: Python", sys.version.split()[0], "pointer bytes", struct.calcsize("P"),
      "module", pairloom.__file__, file=sys.stderr)
' || return
  I386_STATE=built
  pytest_lane i386 "$BUILD_ROOT/i386.xml" "$I386_PYTHON" PYTHONHOME=/usr PYTHONPATH="$stage"
}

lane_engine_i386() {
  if ! have_i386_gtest; then
    record_skip engine-i386 "libgtest-dev:i386 not installed"
    return
  fi
  configure_i386 engine-i386 || return
  step engine-i386 "build" cmake --build "$I386_DIR" --parallel "$JOBS" --target engine_tests ||
    return
  step engine-i386 "32-bit check" is_elf32 "$I386_DIR/engine_tests" || return
  run_suite engine-i386 "$I386_DIR/engine-tests.xml" \
    "$I386_DIR/engine_tests" --gtest_output="xml:$I386_DIR/engine-tests.xml" "${GTEST_ARGS[@]}"
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

# configure_sanitized NAME DIR SANITIZERS [CMAKE-ARGS...]: an -O1 build with line tables,
# every target compiled and linked with -fsanitize=SANITIZERS (none when empty). -O1 keeps
# reports close to the source and builds markedly faster than -O2. Warnings are not errors
# here: the engine lane holds the line on those, and sanitizer builds raise false alarms.
configure_sanitized() {
  local name="$1" dir="$2" sanitizers="$3"
  shift 3
  step "$name" "cmake configure" cmake -S "$repo" -B "$dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
    -DPAIRLOOM_SANITIZE="$sanitizers" "$@"
}

ASAN_DIR="$BUILD_ROOT/asan"

lane_engine_asan() {
  configure_sanitized engine-asan "$ASAN_DIR" address,undefined -DPAIRLOOM_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$PY" || return
  step engine-asan "build" cmake --build "$ASAN_DIR" --parallel "$JOBS" --target engine_tests ||
    return
  run_suite engine-asan "$ASAN_DIR/engine-tests.xml" \
    env ASAN_OPTIONS="$SAN_ASAN_OPTIONS" UBSAN_OPTIONS="$SAN_UBSAN_OPTIONS" \
    "$ASAN_DIR/engine_tests" --gtest_output="xml:$ASAN_DIR/engine-tests.xml" "${GTEST_ARGS[@]}"
}

lane_engine_tsan() {
  local dir="$BUILD_ROOT/tsan"
  configure_sanitized engine-tsan "$dir" thread -DPAIRLOOM_BUILD_TESTS=ON \
    -DPAIRLOOM_BUILD_MODULE=OFF || return
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
  configure_sanitized engine-i386-asan "$dir" address,undefined \
    -DCMAKE_TOOLCHAIN_FILE="$here/i386-toolchain.cmake" -DPAIRLOOM_BUILD_MODULE=OFF \
    -DPAIRLOOM_BUILD_TESTS=ON || return
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
  configure_sanitized pytest-asan "$ASAN_DIR" address,undefined -DPAIRLOOM_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$PY" || return
  step pytest-asan "build" cmake --build "$ASAN_DIR" --parallel "$JOBS" --target pairloom ||
    return
  local stage="$ASAN_DIR/module" preload so
  so="$(find "$ASAN_DIR" -maxdepth 1 -name 'pairloom*.so' | head -n 1)"
  [[ -n "$so" ]] || {
    record_broken pytest-asan "no module built"
    return 1
  }
  rm -rf "$stage" && mkdir -p "$stage" && cp "$so" "$stage/"
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
# with the module in STAGE, then judges valgrind's report.
memcheck() {
  local name="$1" python="$2" stage="$3" xml="$BUILD_ROOT/$1.xml" summary
  shift 3
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
  if summary="$("$PY" "$here/memcheck.py" report "$xml" pairloom)"; then
    record "$name" ok 1 0 0 "$summary"
  else
    record "$name" FAIL 0 1 0 "${summary:-no report}"
  fi
}

lane_valgrind() {
  local dir="$BUILD_ROOT/valgrind" so
  configure_sanitized valgrind "$dir" "" -DPython_EXECUTABLE="$PY" || return
  step valgrind "build" cmake --build "$dir" --parallel "$JOBS" --target pairloom || return
  so="$(find "$dir" -maxdepth 1 -name 'pairloom*.so' | head -n 1)"
  rm -rf "$dir/module" && mkdir -p "$dir/module" && cp "$so" "$dir/module/"
  memcheck valgrind "$PY" "$dir/module"
}

lane_valgrind_i386() {
  # The 32-bit module and interpreter of the i386 lane, when it built them in this run.
  if [[ "$I386_STATE" != built ]]; then
    record_skip valgrind-i386 "needs the i386 lane in the same run"
    return
  fi
  memcheck valgrind-i386 "$I386_PYTHON" "$I386_DIR/module" PYTHONHOME=/usr
}

# ---------------------------------------------------------------------------------------
# Fuzzing

CLANGXX=clang++-16
FUZZ_TARGETS=(model_file render train_encode)

# fuzz_lane NAME DIR SECONDS [CMAKE-ARGS...]: builds the fuzz targets with clang, ASan and
# UBSan, then runs each on a scratch copy of its committed corpus (so known inputs replay
# first) for SECONDS.
fuzz_lane() {
  local name="$1" dir="$2" seconds="$3" target
  shift 3
  command -v "$CLANGXX" >/dev/null || {
    record_broken "$name" "$CLANGXX not installed"
    return 1
  }
  configure_sanitized "$name" "$dir" address,undefined -DCMAKE_CXX_COMPILER="$CLANGXX" \
    -DPAIRLOOM_BUILD_MODULE=OFF -DPAIRLOOM_BUILD_FUZZERS=ON "$@" || return
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

lane_fuzz() {
  fuzz_lane fuzz "$BUILD_ROOT/fuzz" "${PAIRLOOM_FUZZ_SECONDS:-60}"
}

lane_fuzz_i386() {
  fuzz_lane fuzz-i386 "$BUILD_ROOT/fuzz-i386" "${PAIRLOOM_FUZZ_I386_SECONDS:-20}" \
    -DCMAKE_TOOLCHAIN_FILE="$here/i386-toolchain.cmake"
}

# ---------------------------------------------------------------------------------------
# Main

selected=()
for lane in ${PAIRLOOM_LANES:-${ALL_LANES[*]}}; do
  lane="${lane//,/ }"
  for one in $lane; do
    declare -F "lane_${one//-/_}" >/dev/null ||
      die "unknown lane '$one' (lanes: ${ALL_LANES[*]} ${EXTRA_LANES[*]})"
    selected+=("$one")
  done
done

if [[ "${PAIRLOOM_SKIP_INSTALL:-0}" != 1 ]]; then
  "$here/install-test-deps.sh" || die "installing the test dependencies failed"
fi

PY="$(pyenv_python 3.11)" || die "no pyenv CPython 3.11"
# cmake and ninja come from this interpreter's pip packages (Debian's cmake is too old).
PATH="$(dirname "$PY"):$PATH"
export PATH
mkdir -p "$BUILD_ROOT"

started=$SECONDS
for lane in "${selected[@]}"; do
  printf '\n===== lane %s =====\n' "$lane"
  lane_started=$SECONDS
  "lane_${lane//-/_}"
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
