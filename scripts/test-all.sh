#!/usr/bin/env bash
# Runs every test lane of pairloom and prints a summary with the test counts of each lane.
# Exits non-zero when any lane fails.
#
# Lanes (default: all, in this order):
#   engine        GoogleTest suite of the engine (Release, warnings are errors)
#   wheel         `pip install .[test]` into a venv of pyenv CPython 3.11, pytest there
#   abi3          the same abi3 module, not rebuilt, under pyenv 3.12/3.13/3.14 and
#                 Debian's /usr/bin/python3.11 (absent interpreters are skipped)
#   i386          the module built with -m32, pytest under a 32-bit CPython 3.11
#   engine-i386   GoogleTest suite of the engine built with -m32
#
# Environment:
#   PAIRLOOM_LANES="engine wheel"   run only these lanes (spaces or commas)
#   PAIRLOOM_BUILD_ROOT=DIR         build directories and venvs (default: <repo>/build-ci)
#   PAIRLOOM_SKIP_INSTALL=1         don't run scripts/install-test-deps.sh first
#   PAIRLOOM_PYTEST_ARGS="tests/test_x.py -x"
#                                   what pytest runs in every Python lane (default: tests)
#   PAIRLOOM_GTEST_ARGS="--gtest_filter=Foo.*" extra arguments for the GoogleTest lanes
#
# Adding a lane: write a function lane_<name> (dashes become underscores) that ends with
# run_suite or record, and add <name> to ALL_LANES.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

ALL_LANES=(engine wheel abi3 i386 engine-i386)
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
# Main

selected=()
for lane in ${PAIRLOOM_LANES:-${ALL_LANES[*]}}; do
  lane="${lane//,/ }"
  for one in $lane; do
    declare -F "lane_${one//-/_}" >/dev/null || die "unknown lane '$one' (lanes: ${ALL_LANES[*]})"
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
