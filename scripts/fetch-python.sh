#!/usr/bin/env bash
# Fetches Debian unstable's CPython (default 3.14) for one architecture into a folder and makes
# it run on this machine beside the unpacked C library of the same suite:
#
#   scripts/fetch-python.sh ARCH DEST       ARCH: amd64 or i386
#
# Prints the path of the interpreter. Run it with PYTHONHOME=DEST/usr. The packages come from
# the Debian mirror this machine's apt uses (PAIRLOOM_DEBIAN_MIRROR overrides it), through a
# private apt state under DEST/.. (the machine's own apt configuration is left alone). A second
# run with DEST in place does nothing but print the path.
#
#   PAIRLOOM_DEBIAN_SUITE=unstable   the suite to take the packages from
#   PAIRLOOM_FETCH_PYTHON=3.14       the CPython version
set -euo pipefail

die() {
  echo "[pairloom] error: $*" >&2
  exit 1
}
note() { echo "[pairloom] $*" >&2; }
(($# == 2)) || die "usage: fetch-python.sh amd64|i386 DEST"
arch="$1" dest="$2"
version="${PAIRLOOM_FETCH_PYTHON:-3.14}"
suite="${PAIRLOOM_DEBIAN_SUITE:-unstable}"
case "$arch" in
amd64) triplet=x86_64-linux-gnu ;;
i386) triplet=i386-linux-gnu ;;
*) die "unknown architecture $arch (amd64 or i386)" ;;
esac
python="$dest/usr/bin/python$version"
if [[ -x "$python" && -e "$dest/.complete" ]]; then
  printf '%s\n' "$python"
  exit 0
fi

PACKAGES=("python$version-minimal" "libpython$version-minimal" "libpython$version-stdlib" libc6
  zlib1g libexpat1 libffi8 libzstd1 libbz2-1.0 liblzma5)

# The first Debian archive (not its security archive) in this machine's apt sources.
machine_mirror() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources; do
    [[ -r "$file" ]] || continue
    if [[ "$file" == *.sources ]]; then
      sed -n 's/^URIs:[[:space:]]*//p' "$file" | tr ' ' '\n'
    else
      awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i; break } }' "$file"
    fi
  done | grep -E '^https?://[^ ]+/debian/?$' | head -n 1
}

mirror="${PAIRLOOM_DEBIAN_MIRROR:-$(machine_mirror)}"
[[ -n "$mirror" ]] || die "no Debian mirror in this machine's apt sources; set PAIRLOOM_DEBIAN_MIRROR"

state="$(dirname "$dest")/apt-$suite"
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs-$arch"
printf 'deb [arch=amd64,i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
  "${mirror%/}" "$suite" >"$state/sources.list"
: >"$state/status"
APT=(apt-get -q -o Dir::Etc::sourcelist="$state/sources.list" -o Dir::Etc::sourceparts=-
  -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status"
  -o Dir::Cache="$state/cache" -o APT::Architecture=amd64 -o APT::Architectures::=amd64
  -o APT::Architectures::=i386 -o Debug::NoLocking=1)
# Downloads go straight into folders the sandbox user of apt may not be able to enter.
[[ $(id -u) -ne 0 ]] || APT+=(-o APT::Sandbox::User=root)

# The package lists are refreshed once a day at most.
if [[ -z "$(find "$state/lists" -maxdepth 1 -name '*Packages*' -mtime -1 -print -quit)" ]]; then
  note "apt-get update ($suite, private state in $state)"
  "${APT[@]}" update >&2
fi
note "apt-get download ${PACKAGES[*]/%/:$arch}"
(cd "$state/debs-$arch" && "${APT[@]}" download "${PACKAGES[@]/%/:$arch}" >&2)

rm -rf "$dest" && mkdir -p "$dest"
for deb in "$state/debs-$arch"/*.deb; do
  dpkg -x "$deb" "$dest"
done
for deb in "$state/debs-$arch"/python"$version"-minimal_*.deb; do
  note "CPython $(dpkg-deb -f "$deb" Version) for $arch"
done

# The unpacked loader and libraries serve the interpreter and every module it loads (DT_RPATH,
# unlike DT_RUNPATH, covers the libraries' own dependencies too). Nothing is set in the
# environment, so programs the tests start (readelf, compilers) keep the machine's C library.
loader="$(find "$dest" -name 'ld-linux*.so.2' \( -type f -o -type l \) | head -n 1)"
[[ -n "$loader" ]] || die "no dynamic loader in the unpacked libc6:$arch"
patchelf="$(command -v patchelf)" || die "patchelf not found"
"$patchelf" --set-interpreter "$loader" --force-rpath \
  --set-rpath "\$ORIGIN/../lib/$triplet:\$ORIGIN/../../lib/$triplet" "$python"
PYTHONHOME="$dest/usr" "$python" -c 'import sys; print("[pairloom] fetched", sys.version, file=sys.stderr)'
touch "$dest/.complete"
printf '%s\n' "$python"
