#!/usr/bin/env bash
# scripts/setup.sh against a stand-in apt (fake apt-get, dpkg, dpkg-query on PATH): a mirror
# whose index fails for a while or for good, packages it cannot offer, and what each target asks for.
set -euo pipefail
cd "$(dirname "$0")/.."
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
fail() { echo "setup_test: FAIL: $*" >&2; exit 1; }

cat >"$fake/apt-get" <<'SH'
#!/bin/bash
echo "$*" >>"$FAKE/calls"
case " $* " in
  *" update "*)
    n=$(cat "$FAKE/update_fails"); [ "$n" -eq 0 ] && exit 0
    echo $((n - 1)) >"$FAKE/update_fails"; echo "E: Failed to fetch file:/bad/./Packages" >&2; exit 100 ;;
  *" install "*)
    for p in $(echo "$*" | sed 's/.*--no-install-recommends//'); do
      ! grep -qx "$p" "$FAKE/unavailable" || { echo "E: Unable to locate package $p" >&2; exit 100; }
    done
    for p in $(echo "$*" | sed 's/.*--no-install-recommends//'); do echo "$p" >>"$FAKE/installed"; done ;;
esac
SH
cat >"$fake/dpkg-query" <<'SH'
#!/bin/bash
grep -qx "${@: -1}" "$FAKE/installed" && echo "install ok installed"
SH
printf '#!/bin/sh\necho armhf\n' >"$fake/dpkg"
printf '#!/bin/sh\nexec "$@"\n' >"$fake/sudo"
printf '#!/bin/sh\n' >"$fake/python3.8"
chmod +x "$fake"/*

# name | target | installed before | unavailable | failing updates | exit status | update calls
cases="
demo on an empty machine       |demo|                          |                   |0|0|1
a mirror that recovers         |all |                          |                   |2|0|3
a mirror that stays broken     |all |                          |qemu-user lintian  |9|3|3
only optional ones unavailable |all |                          |zlib1g-dev:armhf ccache|9|0|3
nothing missing                |demo|cmake make g++ python3    |                   |9|0|0
"
while IFS='|' read -r name target before unavailable updates want_status want_updates; do
  [ -n "$name" ] || continue
  name=${name%"${name##*[! ]}"}
  tr ' ' '\n' <<<"$before" | grep . >"$fake/installed" || true
  tr ' ' '\n' <<<"$unavailable" | grep . >"$fake/unavailable" || true
  echo "$updates" >"$fake/update_fails"; : >"$fake/calls"
  status=0
  out=$(FAKE=$fake PATH="$fake:/usr/bin:/bin" SETUP_RETRY_PAUSE=0 bash scripts/setup.sh $target 2>&1) ||
    status=$?
  [ "$status" -eq "$want_status" ] || fail "$name: exit status $status, not $want_status: $out"
  [ "$(grep -c ' update ' "$fake/calls")" -eq "$want_updates" ] || fail "$name: updates: $(cat "$fake/calls")"
  case $name in
    demo*) grep -q 'install -y -q --no-install-recommends cmake make g++ python3$' "$fake/calls" ||
             fail "$name: the demo asked for more than it needs: $(cat "$fake/calls")" ;;
    *broken)
      grep -qx "setup: qemu-user is missing, needed by scripts/test.sh's ARM stage" <<<"$out" &&
        grep -qx "setup: lintian is missing, needed by scripts/test.sh's package stage" <<<"$out" &&
        grep -q 'going on with the package lists apt has' <<<"$out" || fail "$name: $out"
      grep -qx zlib1g-dev:armhf "$fake/installed" && grep -qx clang "$fake/installed" ||
        fail "$name: the installable packages were not installed" ;;
  esac
done <<<"$cases"

# A stage's check installs nothing and names what it lacks.
printf 'cmake\nmake\n' >"$fake/installed"; : >"$fake/calls"
out=$(FAKE=$fake PATH="$fake:/usr/bin:/bin" bash scripts/setup.sh --check fuzz 2>&1) && fail "--check passed: $out"
[ "$out" = "setup: clang is missing, needed by scripts/test.sh's fuzzing stage
setup: libclang-rt-14-dev is missing, needed by scripts/test.sh's fuzzing stage" ] || fail "--check: $out"
[ ! -s "$fake/calls" ] || fail "--check called apt-get"
echo "setup_test: passed"
