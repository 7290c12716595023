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
