#!/usr/bin/env bash
# scripts/progress.sh: the heartbeat of a long command, what it reports, and a failure's status.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/progress.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT
fail() { echo "progress_test: FAIL: $*" >&2; exit 1; }
export PROGRESS_EVERY=0.3

# unit | command | expected heartbeat (its seconds are whole: 0 or 1)
cases='
%        |echo "[  5%] a"; echo "[ 40%] b"; sleep 1 |build: [01] s, 40%
compiled |echo "gcc -c a.c"; echo "gcc -c b.c"; echo "gcc -o x"; sleep 1 |build: [01] s, 2 files compiled
set up   |echo "Setting up cmake"; sleep 1 |build: [01] s, 1 packages set up
'
while IFS='|' read -r unit cmd want; do
  [ -n "$unit" ] || continue
  out=$(progress build "$log" "${unit%"${unit##*[! ]}"}" bash -c "$cmd" 2>&1) || fail "$unit: $out"
  [[ "$(sed -n 2p <<<"$out")" == $want && "$(tail -1 <<<"$out")" == "build: done in "[12]" s" ]] ||
    fail "$unit: $out"
done <<<"$cases"

status=0
out=$(progress build "$log" lines bash -c 'echo "error: no space"; exit 7' 2>&1) || status=$?
[[ "$status" -eq 7 && "$out" == "build ...
error: no space
build: failed after "[01]" s (exit status 7)" ]] || fail "failure: status $status: $out"
echo "progress_test: passed"
