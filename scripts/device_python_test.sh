#!/usr/bin/env bash
# The device interpreter's source in a stand-in clone: python_source.sh's order of sources, its
# check by SHA-256 and its download fallback against file:// URLs (no network); device_python.sh
# without a source stops before any work. (The build itself is scripts/test.sh's ARM stage.)
# Needs the shared folder's archive beside the clone as a known archive.
set -euo pipefail
cd "$(dirname "$0")/.."
shared=../shared/device-python/cpython-3.8.2-src.tar.xz
if [ ! -f "$shared" ]; then
  [ "${CI:-}" != true ] || { echo "device_python_test: FAIL: no $shared" >&2; exit 1; }
  echo "device_python_test: skipped: no $shared beside the clone"; exit 0
fi
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
fail() { echo "device_python_test: FAIL: $*" >&2; exit 1; }
mkdir -p "$t/repo/scripts" "$t/beside/device-python"
cp scripts/{python_source,device_python,host_python,progress}.sh "$t/repo/scripts/"
cp "$shared" "$t/known.tar.xz"
echo "not CPython" | xz >"$t/unknown.tar.xz"
cache=$t/home/lumatra

# ENV | shared beside the clone | cache file | expected stdout, or "!" and the last stderr line's tail
cases="
LUMATRA_PYTHON_SOURCE=$t/known.tar.xz           |yes|known  |$t/known.tar.xz
LUMATRA_PYTHON_SOURCE=$t/nothing.tar.xz         |yes|known  |!names no file ($t/nothing.tar.xz); set LUMATRA_PYTHON_SOURCE to CPython's Python-3.8.2.tar.xz (from file:///nowhere, SHA-256 2646e7dc...45df)
LUMATRA_PYTHON_SOURCE=$t/unknown.tar.xz         |yes|       |!is no known CPython 3.8.2 archive (its SHA-256 is
LUMATRA_PYTHON_URL=file:///nowhere              |yes|known  |$cache/Python-3.8.2.tar.xz
LUMATRA_PYTHON_URL=file:///nowhere              |yes|unknown|$t/beside/device-python/cpython-3.8.2-src.tar.xz
LUMATRA_PYTHON_URL=file://$t/known.tar.xz       |no |       |$cache/Python-3.8.2.tar.xz
LUMATRA_PYTHON_URL=file://$t/unknown.tar.xz     |no |       |!the download from file://$t/unknown.tar.xz is no known CPython 3.8.2 archive; set
LUMATRA_PYTHON_URL=file:///nowhere              |no |       |!and the download failed (curl: (37) Couldn't open file /nowhere); set LUMATRA_PYTHON_SOURCE
"
while IFS='|' read -r env beside cached want; do
  [ -n "$env" ] || continue
  rm -rf "$t/home" "$t/shared"
  mkdir -p "$cache"
  [ "${beside// }" = no ] || ln -s "$t/beside" "$t/shared"
  [ "${beside// }" = no ] || cp "$t/known.tar.xz" "$t/beside/device-python/cpython-3.8.2-src.tar.xz"
  [ -z "${cached// }" ] || cp "$t/${cached// }.tar.xz" "$cache/Python-3.8.2.tar.xz"
  status=0
  out=$(env LUMATRA_PYTHON_URL=file:///nowhere XDG_CACHE_HOME="$t/home" $env \
        bash "$t/repo/scripts/python_source.sh" 2>"$t/err") || status=$?
  last=$(tail -1 "$t/err")
  if [ "${want:0:1}" = '!' ]; then
    [ "$status" -eq 1 ] && [[ "$last" == *"${want:1}"* ]] || fail "$env: status $status, stderr: $(cat "$t/err")"
    [ ! -e "$cache/Python-3.8.2.tar.xz" ] || [ -n "${cached// }" ] || fail "$env: a refused download was kept"
  else
    [ "$status" -eq 0 ] && [ "$out" = "$want" ] || fail "$env: printed '$out' (status $status): $(cat "$t/err")"
  fi
  ! grep -v '^python_source.sh: ' "$t/err" || fail "$env: a raw error reached the user"
  ! ls "$cache" | grep -q part || fail "$env: a partial download was left in the cache"
done <<<"$cases"

rm -rf "$t/home" "$t/shared"
status=0
out=$(XDG_CACHE_HOME=$t/home LUMATRA_PYTHON_URL=file:///nowhere bash "$t/repo/scripts/device_python.sh" 2>&1) ||
  status=$?
[ "$status" -eq 1 ] && [[ "$(tail -1 <<<"$out")" == "python_source.sh: no archive in the cache or beside"* ]] &&
  ! ls "$cache" | grep -q device-python || fail "device_python.sh without a source: status $status: $out"
echo "device_python_test: passed"
