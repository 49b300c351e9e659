#!/usr/bin/env bash
# Runs the README's sh blocks in order, as written, in a clean copy of the tree (its files under
# version control, no build folder) with the shared folder beside it, each block under `bash -e`;
# then the first block and scripts/test.sh in a copy as a new user has it, without that folder.
# A block right after a line "<!-- readme-test: skip (REASON) -->" is not run: it needs hardware,
# a person at the console, or a long time (the CI's own stages run the same commands).
#
#   bash scripts/readme_test.sh [README]     (default: README.md)
set -euo pipefail
cd "$(dirname "$0")/.."
readme=$(realpath "${1:-README.md}")

work=$(mktemp -d)
cleanup() {
  # Whatever a block left running in the background ends with the test.
  [ -z "${group:-}" ] || kill -- "-$group" 2>/dev/null || true
  if [ "${status:-1}" -eq 0 ]; then
    rm -rf "$work"
  else
    echo "readme_test: the copy and its build folders are kept in $work" >&2
  fi
}
trap cleanup EXIT
# A copy of the tree: its files under version control, no build folder.
copy_tree() {
  mkdir -p "$1"
  git ls-files -z --cached --others --exclude-standard |
    python3 -c 'import os,sys; sys.stdout.write("".join(p + "\0" for p in sys.stdin.read().split("\0") if p and os.path.lexists(p)))' |
    tar -cf - --null -T - | tar -xf - -C "$1"
  cp "$readme" "$1/README.md"
}
clone=$work/clone
copy_tree "$clone"
[ ! -d ../shared ] || ln -s "$(realpath ../shared)" "$work/shared"

# Blocks: one file a block, named by its first line in the README; skipped ones listed apart.
python3 - "$clone/README.md" "$work" <<'PY'
import re, sys
readme, work = sys.argv[1], sys.argv[2]
lines = open(readme).read().split("\n")
skip, block, start, n = None, None, 0, 0
with open(work + "/skipped", "w") as skipped:
    for no, line in enumerate(lines, 1):
        if block is not None:
            if line.startswith("```"):
                n += 1
                if skip:
                    skipped.write("line %d (%s)\n" % (start, skip))
                else:
                    with open("%s/block-%03d-line-%d.sh" % (work, n, start), "w") as f:
                        f.write("\n".join(block) + "\n")
                block, skip = None, None
            else:
                block.append(line)
            continue
        m = re.match(r"<!-- readme-test: skip \((.+)\) -->", line)
        if m:
            skip = m.group(1)
        elif line.strip() in ("```sh", "```bash"):
            block, start = [], no
        elif line.strip():
            skip = None if not line.startswith("```") else skip
PY

# The compiler cache that scripts/test.sh fills, with paths relative to the tree, so that the
# blocks' builds reuse its objects; the commands stay as written.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$clone CCACHE_NOHASHDIR=true
fi
# Runs the block file $1 in the copy $2, as its own process group without stdin, so that nothing
# it starts outlives the test; says every 30 s how a long block goes; leaves its status in rc.
run_block() {
  local start=$SECONDS
  set +e
  (cd "$2" && exec setsid bash -e "$1" </dev/null >"$1.log" 2>&1) &
  group=$!
  while ! timeout 30 tail --pid="$group" -f /dev/null; do
    echo "readme_test: $((SECONDS - start)) s: $(grep -v "^[[:space:]]*$" "$1.log" | tail -1 | cut -c1-100)"
  done
  wait "$group"
  rc=$?
  set -e
  kill -- "-$group" 2>/dev/null || true
  group=""
  took=$((SECONDS - start))
}

echo "readme_test: running the README's blocks in $clone"
sed 's/^/readme_test: skipped: /' "$work/skipped"
status=0
for f in "$work"/block-*.sh; do
  line=${f##*-line-}; line=${line%.sh}
  echo "readme_test: === README.md line $line"
  sed 's/^/readme_test: | /' "$f"
  run_block "$f" "$clone"
  if [ "$rc" -ne 0 ]; then
    tail -40 "$f.log" | sed 's/^/readme_test: > /'
    echo "readme_test: FAIL: the block at README.md line $line exited $rc" >&2
    status=1
    break
  fi
  tail -4 "$f.log" | sed 's/^/readme_test: > /'
  echo "readme_test: passed in $took s"
done

# A new user's clone: no shared folder beside it, an empty cache, no network (a download URL that
# leads nowhere stands in for it). The first block (setup and the demo) must pass; scripts/test.sh
# must run every stage or stop early with one line that says what to set, never a raw error.
if [ "$status" -eq 0 ]; then
  bare=$work/bare/clone
  copy_tree "$bare"
  first=$(ls "$work"/block-*.sh | head -1)
  printf 'bash scripts/test.sh\n' >"$work/bare/test.sh"
  # The compiler cache stays the one filled before; XDG_CACHE_HOME would move it.
  ! command -v ccache >/dev/null || export CCACHE_DIR=$(ccache -k cache_dir) CCACHE_BASEDIR=$bare
  export XDG_CACHE_HOME=$work/bare/cache LUMATRA_PYTHON_URL=file://$work/bare/no-network
  echo "readme_test: === without ../shared, an empty cache and no network, in $bare"
  sed 's/^/readme_test: | /' "$first"
  run_block "$first" "$bare"
  tail -4 "$first.log" | sed 's/^/readme_test: > /'
  if [ "$rc" -ne 0 ]; then
    echo "readme_test: FAIL: without ../shared, the first block exited $rc" >&2; status=1
  else
    echo "readme_test: passed in $took s"
    echo "readme_test: | bash scripts/test.sh"
    run_block "$work/bare/test.sh" "$bare"
    tail -4 "$work/bare/test.sh.log" | sed 's/^/readme_test: > /'
    if grep -q 'No such file or directory' "$work/bare/test.sh.log" || { [ "$rc" -ne 0 ] &&
       ! grep -q '^python_source.sh: .*; set LUMATRA_PYTHON_SOURCE to ' "$work/bare/test.sh.log"; }; then
      echo "readme_test: FAIL: without ../shared, scripts/test.sh exited $rc without saying what to set" >&2
      status=1
    else
      echo "readme_test: passed in $took s (exit status $rc)"
    fi
  fi
fi
[ "$status" -ne 0 ] || echo "readme_test: all blocks passed"
exit "$status"
