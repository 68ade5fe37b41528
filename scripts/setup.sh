#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine (run as root).
# Idempotent: a second run only checks.
set -euo pipefail

MINIZIP_DIR=${MINIZIP_DIR:-/usr/local/src/minizip}

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
  echo "setup: installing ${need[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# minizip's unzip layer is compiled from Debian's source package; the sources live outside the repo.
if [ ! -f "$MINIZIP_DIR/unzip.c" ]; then
  if ! ls /etc/apt/sources.list.d/*-src.sources >/dev/null 2>&1 && \
     ! grep -rqs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/debian-src.sources
    apt_updated=0
  fi
  apt_update
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source -q --download-only minizip >/dev/null && dpkg-source -q -x ./*.dsc src >/dev/null)
  mkdir -p "$MINIZIP_DIR"
  for f in unzip.c unzip.h ioapi.c ioapi.h zip.c zip.h crypt.h; do
    cp "$tmp/src/$f" "$MINIZIP_DIR/$f"
  done
  rm -rf "$tmp"
  echo "setup: minizip sources in $MINIZIP_DIR"
fi
echo "setup: ready"
