#!/usr/bin/env bash
# scripts/device_python.sh in a clone without the shared folder and with an empty cache: --cached
# answers without building, and with no source it stops before any work with the one line that
# says what to set. (The build itself is scripts/test.sh's ARM stage.)
set -euo pipefail
cd "$(dirname "$0")/.."
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
fail() { echo "device_python_test: FAIL: $*" >&2; exit 1; }
mkdir -p "$t/clone/scripts"
cp scripts/device_python.sh scripts/python_source.sh scripts/host_python.sh scripts/progress.sh "$t/clone/scripts/"
run() { XDG_CACHE_HOME=$t/cache LUMATRA_PYTHON_URL=file://$t/no-network bash "$t/clone/scripts/device_python.sh" "$@"; }

status=0; out=$(run --cached 2>&1) || status=$?
[ "$status" -eq 1 ] && [ -z "$out" ] || fail "--cached with an empty cache: status $status: $out"

status=0; out=$(run 2>&1) || status=$?
[ "$status" -eq 1 ] && [[ "$(tail -1 <<<"$out")" == "python_source.sh: no archive in the cache or beside the clone, and the download failed ("*"); set LUMATRA_PYTHON_SOURCE to CPython's Python-3.8.2.tar.xz"* ]] ||
  fail "no source: status $status: $out"
! ls "$t/cache/lumatra" | grep -q device-python || fail "a work folder was left: $(ls "$t/cache/lumatra")"
echo "device_python_test: passed"
