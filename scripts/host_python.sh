#!/usr/bin/env bash
# Prints the path of a host Python 3.8 (voxframe's host tests and the device interpreter's build
# need one): pyenv's 3.8, else a python3.8 on PATH, else one built once from the CPython 3.8
# source archive into the user's cache. Debian 12 ships no Python 3.8.
#
#   bash scripts/host_python.sh             path of the interpreter; builds it when none is found
#   LUMATRA_PYTHON_SOURCE=ARCHIVE ...       the source archive (default: the one in
#                                           ../shared/device-python beside the clone)
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

# The shared folder holds CPython 3.8.2 trimmed of its documentation, tests and other platforms'
# folders; python.org's release archive is the same source in full.
declare -A known=(
  [d525dbc89ac71819e579fad4d91b688aa762694df795afd08543104ece352ab3]="../shared/device-python/cpython-3.8.2-src.tar.xz"
  [2646e7dc233362f59714c6193017bb2d6f7b38d6ab4a0cb5fbac5c36c4d845df]="https://www.python.org/ftp/python/3.8.2/Python-3.8.2.tar.xz"
)
source=${LUMATRA_PYTHON_SOURCE:-../shared/device-python/cpython-3.8.2-src.tar.xz}
[ -f "$source" ] || {
  echo "host_python.sh: no Python 3.8 found and no source archive $source;" \
       "set LUMATRA_PYTHON_SOURCE to CPython's Python-3.8.2.tar.xz (see README, voxframe)" >&2
  exit 1
}
sum=$(sha256sum "$source" | cut -d' ' -f1)
[ -n "${known[$sum]:-}" ] || {
  echo "host_python.sh: $source has SHA-256 $sum, not that of CPython 3.8.2's source" >&2
  exit 1
}

echo "host_python.sh: building a host Python 3.8 from $source into $dest (a few minutes, once)" >&2
mkdir -p "$cache"
# A private work folder: two builds under one home never remove each other's.
work=$(mktemp -d "$cache/host-python-3.8.part.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
tar -xJf "$source" -C "$work/src" --strip-components=1
(
  cd "$work/src"
  # The trimmed archive keeps no execute bits.
  chmod +x configure install-sh config.guess config.sub Modules/makesetup
  # An interpreter for tests: -O1 builds in about half the time of the default -O3.
  OPT="-DNDEBUG -fwrapv -O1 -Wall" ./configure --prefix="$dest" --without-ensurepip \
    >"$work/configure.log" 2>&1 ||
    { tail -20 "$work/configure.log" >&2; exit 1; }
  make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -30 "$work/make.log" >&2; exit 1; }
  make install DESTDIR="$work/root" >"$work/install.log" 2>&1 ||
    { tail -30 "$work/install.log" >&2; exit 1; }
)
"$work/root$dest/bin/python3.8" -c 'import ctypes, zlib' 2>/dev/null ||
  { echo "host_python.sh: the built Python lacks ctypes or zlib (libffi-dev, zlib1g-dev)" >&2; exit 1; }
# The finished tree appears in one rename; a build that finished first wins.
mv -T "$work/root$dest" "$dest" 2>/dev/null || [ -x "$dest/bin/python3.8" ]
echo "$dest/bin/python3.8"
