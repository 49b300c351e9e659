#!/usr/bin/env bash
# The device's interpreter: CPython 3.8.2 cross-built for 32-bit ARM hard-float, once, into the
# user's cache, keyed by this script (the recipe); the source archive comes from
# scripts/python_source.sh. Prints the interpreter's root (PREFIX, holding bin/python3.8 and
# include/python3.8) on stdout, its progress on stderr.
#
#   bash scripts/device_python.sh            builds it when missing (6 minutes of CPU)
#   bash scripts/device_python.sh --cached   only a tree already built; exit status 1 without one
#   DEST=FOLDER bash scripts/device_python.sh   builds into FOLDER/usr/local instead, every time
#
# Needs g++-arm-linux-gnueabihf, libffi-dev:armhf and a host Python 3.8 (scripts/host_python.sh);
# zlib1g-dev:armhf, where the mirror serves it, adds the zlib module, which no test needs.
# Run the result with
#   PYTHONHOME=PREFIX qemu-arm PREFIX/bin/python3.8
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/progress.sh

key=$(sha256sum scripts/device_python.sh | cut -c1-16)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/lumatra
dest=${DEST:-$cache/device-python-3.8-$key}
prefix=$dest/usr/local
if [ -z "${DEST:-}" ] && [ -x "$prefix/bin/python3.8" ]; then
  echo "$prefix"; exit 0
fi
[ "${1:-}" != --cached ] || exit 1

archive=$(bash scripts/python_source.sh)
host_python=$(bash scripts/host_python.sh)
command -v arm-linux-gnueabihf-gcc >/dev/null ||
  { echo "device_python.sh: no arm-linux-gnueabihf-gcc; run: bash scripts/setup.sh" >&2; exit 1; }

echo "device_python.sh: building CPython 3.8.2 for armhf from $archive into $dest" >&2
mkdir -p "$(dirname "$dest")"
# A private work folder: two builds under one home never remove each other's.
work=$(mktemp -d "$dest.part.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
# python.org's archive unpacks into Python-3.8.2/, the shared import into cpython-3.8.2/.
progress "device_python.sh: unpacking" "$work/tar.log" lines \
  tar -xJf "$archive" -C "$work/src" --strip-components=1
cd "$work/src"
# The shared import keeps no execute bits.
chmod +x configure install-sh config.guess config.sub Modules/makesetup
# configure cannot probe the target's device files when cross-building.
printf 'ac_cv_file__dev_ptmx=no\nac_cv_file__dev_ptc=no\n' >config.site
export PATH="$(dirname "$host_python"):$PATH" CONFIG_SITE=$PWD/config.site
progress "device_python.sh: configure" "$work/configure.log" lines \
  ./configure --host=arm-linux-gnueabihf --build="$(./config.guess)" --prefix=/usr/local \
  --disable-ipv6 --without-ensurepip --with-system-ffi
progress "device_python.sh: make" "$work/make.log" compiled make -j"$(nproc)"
progress "device_python.sh: make install" "$work/install.log" lines make install DESTDIR="$work/root"
[ -x "$work/root/usr/local/bin/python3.8" ] ||
  { echo "device_python.sh: make install left no bin/python3.8" >&2; exit 1; }
if [ -n "${DEST:-}" ]; then
  rm -rf "$dest" && mv -T "$work/root" "$dest"
else
  # The finished tree appears in one rename; a build that finished first wins.
  mv -T "$work/root" "$dest" 2>/dev/null || [ -x "$prefix/bin/python3.8" ]
fi
echo "$prefix"
