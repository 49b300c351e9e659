#!/usr/bin/env bash
# Prints the path of a host Python 3.8 (voxframe's host tests and the device interpreter's build
# need one): pyenv's 3.8, else a python3.8 on PATH, else one built once from the CPython 3.8
# source archive into the user's cache. Debian 12 ships no Python 3.8.
#
#   bash scripts/host_python.sh             path of the interpreter; builds it when none is found
#   LUMATRA_PYTHON_SOURCE=ARCHIVE ...       the source archive (else scripts/python_source.sh's
#                                           choice: the cache, ../shared beside the clone, python.org)
set -euo pipefail
cd "$(dirname "$0")/.."

if prefix=$(pyenv prefix 3.8 2>/dev/null) && [ -x "$prefix/bin/python3.8" ]; then
  echo "$prefix/bin/python3.8"; exit 0
fi
if found=$(command -v python3.8); then
  echo "$found"; exit 0
fi
cache=${XDG_CACHE_HOME:-$HOME/.cache}/lumatra
dest=$cache/host-python-3.8
if [ -x "$dest/bin/python3.8" ]; then
  echo "$dest/bin/python3.8"; exit 0
fi

source=$(bash scripts/python_source.sh)

echo "host_python.sh: building a host Python 3.8 from $source into $dest (a few minutes, once)" >&2
mkdir -p "$cache"
# A private work folder: two builds under one home never remove each other's.
work=$(mktemp -d "$cache/host-python-3.8.part.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
. scripts/progress.sh
# python.org's archive unpacks into Python-3.8.2/, the shared import into cpython-3.8.2/.
progress "host_python.sh: unpacking" "$work/tar.log" lines \
  tar -xJf "$source" -C "$work/src" --strip-components=1
(
  cd "$work/src"
  # The shared import keeps no execute bits.
  chmod +x configure install-sh config.guess config.sub Modules/makesetup
  # An interpreter for tests: -O1 builds in about half the time of the default -O3.
  progress "host_python.sh: configure" "$work/configure.log" lines \
    env OPT="-DNDEBUG -fwrapv -O1 -Wall" ./configure --prefix="$dest" --without-ensurepip
  progress "host_python.sh: make" "$work/make.log" compiled make -j"$(nproc)"
  progress "host_python.sh: make install" "$work/install.log" lines make install DESTDIR="$work/root"
)
"$work/root$dest/bin/python3.8" -c 'import ctypes, zlib' 2>/dev/null ||
  { echo "host_python.sh: the built Python lacks ctypes or zlib (libffi-dev, zlib1g-dev)" >&2; exit 1; }
# The finished tree appears in one rename; a build that finished first wins.
mv -T "$work/root$dest" "$dest" 2>/dev/null || [ -x "$dest/bin/python3.8" ]
echo "$dest/bin/python3.8"
