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
# A mirror in the middle of a sync fails one index now and then; the install below still works
# when the indexes it needs are fresh, and fails clearly when they are not.
for attempt in 1 2 3; do
  apt update -qq && break
  if ((attempt == 3)); then
    echo "[pairloom] apt-get update failed 3 times; installing from the indexes it has" >&2
  else
    sleep 10
  fi
done
# The i386 Python runtime must carry the same version as the amd64 one (both are Multi-Arch:
# same), so every installed package of the python3.11 source moves along with it.
mapfile -t companions < <(dpkg-query -W \
  -f='${binary:Package} ${source:Package} ${db:Status-Abbrev}\n' |
  awk '$2 == "python3.11" && $3 ~ /^ii/ { print $1 }')
echo "[pairloom] apt-get install ${missing[*]}" >&2
wanted=("${missing[@]}" "${companions[@]}")
for attempt in 1 2 3; do
  log=$(apt install -y -q --no-install-recommends --allow-downgrades "${wanted[@]}" 2>&1) && exit 0
  printf "%s\n" "$log" | tail -n 20 >&2
  # With one index stale (the i386 security updates during a mirror sync), a package that must
  # carry the same version on both architectures (linux-libc-dev, say) is newer on amd64 than
  # i386 offers: take the version i386 offers on both.
  mapfile -t stuck < <(sed -n 's/.*Depends: \([^ :]*\)\(:[a-z0-9]*\)\{0,1\} but it is not installable.*/\1/p' \
    <<<"$log" | sort -u)
  ((${#stuck[@]})) || exit 1
  for pkg in "${stuck[@]}"; do
    version=$(apt-cache policy "$pkg:i386" | awk '$1 == "Candidate:" { print $2 }')
    [[ -n "$version" && "$version" != "(none)" ]] || exit 1
    echo "[pairloom] $pkg: taking $version on amd64 and i386 alike" >&2
    wanted+=("$pkg=$version" "$pkg:i386=$version")
  done
done
exit 1
