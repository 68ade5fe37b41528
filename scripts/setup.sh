#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine (run as root).
# Idempotent: a second run only checks, and that needs no root.
set -euo pipefail

MINIZIP_DIR=${MINIZIP_DIR:-/usr/local/src/minizip}

need_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  echo "setup: $1 needs root: run it as root (for instance: sudo scripts/setup.sh)" >&2
  exit 1
}

need=()
for pkg in cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
           wine64 libz-mingw-w64-dev googletest dpkg-dev unzip zip python3 xxd bc openssl \
           xvfb fonts-wine fonts-ipafont-gothic imagemagick; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done

apt_updated=0
apt_update() {
  [ "$apt_updated" = 1 ] && return 0
  apt-get update -q
  apt_updated=1
}

if [ ${#need[@]} -gt 0 ]; then
  need_root "installing ${need[*]}"
  echo "setup: installing ${need[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# Source entries in either form apt reads: one-line lists or deb822 ".sources" files.
has_deb_src() {
  grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
    grep -qsE '^Types:.*[[:space:]]deb-src([[:space:]]|$)' /etc/apt/sources.list.d/*.sources
}

# minizip's unzip layer is compiled from Debian's source package; the sources live outside the repo.
if [ ! -f "$MINIZIP_DIR/unzip.c" ]; then
  need_root "fetching the minizip sources into $MINIZIP_DIR"
  if ! has_deb_src; then
    # The package sources' own entries, as source entries.
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        > /etc/apt/sources.list.d/debian-src.sources
    elif grep -qsE '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list; then
      sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list \
        > /etc/apt/sources.list.d/debian-src.list
    else
      echo "setup: no Debian package source found in /etc/apt/sources.list or" \
        "/etc/apt/sources.list.d/debian.sources: add a deb-src entry for minizip" >&2
      exit 1
    fi
    apt_updated=0
  fi
  apt_update
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && apt-get source -q --download-only minizip >/dev/null && dpkg-source -q -x ./*.dsc src >/dev/null)
  mkdir -p "$MINIZIP_DIR"
  # unzip.c last: its presence is what a later run takes for "done".
  for f in unzip.h ioapi.c ioapi.h zip.c zip.h crypt.h unzip.c; do
    cp "$tmp/src/$f" "$MINIZIP_DIR/$f"
  done
  echo "setup: minizip sources in $MINIZIP_DIR"
fi
echo "setup: ready"
