#!/usr/bin/env bash
# A machine without pyenv, as a fresh Debian 12: setup and voxframe's host tests run with a PATH
# and a HOME in which no pyenv and no python3.8 can be found, so setup must provide the host
# Python 3.8 (built once into the cache, which stays the user's own: a later run reuses it).
#
#   bash scripts/no_pyenv_test.sh [BUILD_DIR]     (default: build-nopyenv)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-nopyenv}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
cache=${XDG_CACHE_HOME:-$HOME/.cache}
hidden=(env -i HOME="$home" XDG_CACHE_HOME="$cache" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
        LANG=C.UTF-8 ${CI:+CI=$CI})

fail() { echo "no_pyenv_test: FAIL: $*" >&2; exit 1; }
if "${hidden[@]}" bash -c 'command -v pyenv || command -v python3.8'; then
  fail "pyenv or a python3.8 is still on the hidden PATH"
fi
"${hidden[@]}" bash scripts/setup.sh
python=$("${hidden[@]}" bash scripts/host_python.sh)
[ "$python" = "$cache/lumatra/host-python-3.8/bin/python3.8" ] || fail "setup's Python is $python"
"$python" -c 'import sys, ctypes, typing; assert sys.version_info[:2] == (3, 8)' ||
  fail "$python is no working Python 3.8"

rm -rf "$build"
"${hidden[@]}" cmake -S . -B "$build" -DBUILD_RELAYSIM=OFF -DBUILD_VOXFRAME=ON -DBUILD_PATCHER=OFF \
  -DBUILD_TESTING=ON >/dev/null
grep -qx "VOXFRAME_PYTHON:FILEPATH=$python" "$build/CMakeCache.txt" ||
  fail "voxframe was not configured for $python: $(grep '^VOXFRAME_PYTHON:' "$build/CMakeCache.txt")"
"${hidden[@]}" cmake --build "$build" -j"$(nproc)" >/dev/null
"${hidden[@]}" ctest --test-dir "$build" -L voxframe --no-tests=error --output-on-failure
echo "no_pyenv_test: setup and voxframe's host tests passed without pyenv, with $python"
