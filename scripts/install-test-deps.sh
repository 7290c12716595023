#!/usr/bin/env bash
# Installs the Debian packages the test lanes need on a Debian 12 (bookworm) x86_64 machine:
# GoogleTest (64- and 32-bit), the 32-bit toolchain, the i386 Python runtime and headers, clang 16
# and its runtimes for the fuzz presets (bookworm's clang 14 cannot compile std::source_location),
# valgrind (with the i386 C library's symbols), clang-format-16. Python packages never go into an
# interpreter of the machine: the lanes keep them in virtualenvs under build-ci/.
# Idempotent: the package index is refreshed and apt-get runs only when something is missing.
#   PAIRLOOM_SKIP_APT=1   leave Debian packages alone (a machine without root)
set -euo pipefail
[[ "${PAIRLOOM_SKIP_APT:-0}" != 1 ]] && command -v dpkg >/dev/null || exit 0

PACKAGES=(libgtest-dev libgtest-dev:i386 g++-multilib clang-16 libclang-rt-16-dev valgrind
  clang-format-16 python3.11-venv libc6-dbg:i386 libpython3.11-dev:i386 libpython3.11-stdlib:i386
  libpython3.11:i386)
SUDO=()
[[ $(id -u) -eq 0 ]] || SUDO=(sudo -n)
apt() { "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${SUDO[@]}" dpkg --add-architecture i386
fi
missing=()
for pkg in "${PACKAGES[@]}"; do
  [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null)" == ii* ]] || missing+=("$pkg")
done
((${#missing[@]})) || exit 0
for attempt in 1 2 3; do
  apt update -qq && break
  ((attempt < 3)) || exit 1
  sleep 10
done
# The i386 Python runtime must carry the same version as the amd64 one (both are Multi-Arch:
# same), so every installed package of the python3.11 source moves along with it.
mapfile -t companions < <(dpkg-query -W \
  -f='${binary:Package} ${source:Package} ${db:Status-Abbrev}\n' |
  awk '$2 == "python3.11" && $3 ~ /^ii/ { print $1 }')
echo "[pairloom] apt-get install ${missing[*]}" >&2
apt install -y -qq --no-install-recommends "${missing[@]}" "${companions[@]}"
