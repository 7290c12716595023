#!/usr/bin/env bash
# Installs the Debian packages the test lanes need on a Debian 12 (bookworm) x86_64 machine:
# GoogleTest, the 32-bit toolchain, the i386 Python runtime and headers, clang and valgrind for
# the fuzz and memory-check lanes, clang-format for the format lane. Python packages (the test
# tools, cmake, ninja, the wheel tools) never go into an interpreter of the machine:
# scripts/test-all.sh puts them into virtualenvs under its build root.
#
# Idempotent: a package already present is not asked for again, and the package index is
# refreshed only when something is missing.
#
#   PAIRLOOM_SKIP_APT=1   leave Debian packages alone (a machine without root)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

# Debian packages for the native lanes. libgtest-dev:i386 is optional: without it the
# 32-bit engine lanes are skipped, everything else still runs. The sanitizer runtimes of gcc
# (64- and 32-bit ASan and UBSan, TSan) come with g++ and g++-multilib; the fuzz lanes need
# clang 16 and its runtimes (libFuzzer, for x86_64 and i386): clang 14, bookworm's default,
# cannot compile std::source_location. valgrind needs the i386 C library's symbols to run
# 32-bit programs.
APT_PACKAGES=(
  libgtest-dev
  g++-multilib
  clang-16
  libclang-rt-16-dev
  valgrind
  clang-format-16
  libc6-dbg:i386
  libpython3.11-dev:i386
  libpython3.11-stdlib:i386
  libpython3.11:i386
)
APT_OPTIONAL=(libgtest-dev:i386)

SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null; then SUDO=(sudo -n); fi
fi

is_installed() {
  [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" == ii* ]]
}

apt_updated=0
apt_update() {
  if [[ $apt_updated -eq 0 ]]; then
    local attempt
    for attempt in 1 2 3; do
      note "apt-get update"
      "${SUDO[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq && break
      ((attempt < 3)) || die "apt-get update failed"
      sleep 10
    done
    apt_updated=1
  fi
}

apt_install() {
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq --no-install-recommends "$@"
}

# The i386 runtime of Python must carry the same version as the amd64 one (both are
# Multi-Arch: same), so every installed binary package of the python3.11 source moves
# along with it when a newer version is installed.
python311_companions() {
  dpkg-query -W -f='${binary:Package} ${source:Package} ${db:Status-Abbrev}\n' 2>/dev/null |
    awk '$2 == "python3.11" && $3 ~ /^ii/ { print $1 }'
}

install_apt() {
  if ! command -v dpkg >/dev/null; then
    note "no dpkg here: Debian packages not installed"
    return 0
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    note "dpkg --add-architecture i386"
    "${SUDO[@]}" dpkg --add-architecture i386
    apt_updated=0
    apt_update
  fi

  local missing=() pkg
  for pkg in "${APT_PACKAGES[@]}"; do
    is_installed "$pkg" || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    apt_update
    local companions
    mapfile -t companions < <(python311_companions)
    note "apt-get install ${missing[*]}"
    apt_install "${missing[@]}" "${companions[@]}"
  fi

  for pkg in "${APT_OPTIONAL[@]}"; do
    if ! is_installed "$pkg"; then
      apt_update
      note "apt-get install $pkg (optional)"
      apt_install "$pkg" || note "could not install $pkg; its lane will be skipped"
    fi
  done
}

[[ "${PAIRLOOM_SKIP_APT:-0}" == 1 ]] || install_apt
