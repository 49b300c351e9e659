#!/usr/bin/env bash
# Installs, with apt-get, the packages that a command needs and that are missing, and for the
# tests provides a host Python 3.8 (built once into the user's cache when neither pyenv nor PATH
# has one). A mirror that fails some index does not stop it: it goes on with the lists apt has,
# installs what it can and names each package it could not install with what needs it.
#
#   bash scripts/setup.sh [all]          everything scripts/test.sh's stages need (default)
#   bash scripts/setup.sh demo           only what scripts/demo.sh needs
#   bash scripts/setup.sh --check STAGE  installs nothing: exit status 1, with a line a missing
#                                        package, when STAGE (a word of the table) lacks one
# Exit status 3 when something stays missing (one line each says what and why).
set -euo pipefail
cd "$(dirname "$0")/.."

# What needs each package: demo, host (the host build, sanitizer and voxframe host stages),
# arm (the ARM stage), package (the Debian package stage), fuzz (the fuzzing stage); speed,
# plot and armzlib are optional, so no stage is skipped without them (the device interpreter
# builds without its zlib module, which no test uses; a mirror whose armhf security index lags
# the amd64 one leaves zlib1g-dev:armhf uninstallable beside a newer zlib1g). The host Python 3.8's build needs
# libffi-dev, zlib1g-dev and xz-utils; the ARM interpreter's the armhf ones.
table="
cmake                     demo host arm package fuzz
make                      demo host arm package fuzz
g++                       demo host arm package
python3                   demo host arm package
ccache                    speed
libgtest-dev              host
libgmock-dev              host
libbenchmark-dev          host
libffi-dev                host arm
zlib1g-dev                host arm
xz-utils                  host arm
ffmpeg                    host
prometheus                host
prometheus-node-exporter  host
python3-matplotlib        plot
g++-arm-linux-gnueabihf   arm
qemu-user                 arm
libffi-dev:armhf          arm
zlib1g-dev:armhf          armzlib
lintian                   package
dpkg-dev                  package
man-db                    package
groff-base                package
bsdextrautils             package
clang                     fuzz
libclang-rt-14-dev        fuzz
"
declare -A what=([demo]="the demo (scripts/demo.sh)" [host]="scripts/test.sh's host stages"
  [arm]="scripts/test.sh's ARM stage" [package]="scripts/test.sh's package stage"
  [fuzz]="scripts/test.sh's fuzzing stage" [speed]="the compiler cache (optional)"
  [plot]="the run plots of the demo and relaysim-plot (optional)"
  [armzlib]="the device interpreter's zlib module (optional)")
optional=" speed plot armzlib "

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# The packages that STAGE needs ("all": every one), one a line.
needed() { awk -v s="$1" 'NF && (s == "all" || index(" " $0 " ", " " s " ") > 1) { print $1 }' <<<"$table"; }
report_missing() {
  local p stages s names
  for p in "$@"; do
    stages=$(awk -v p="$p" '$1 == p { $1 = ""; print }' <<<"$table")
    names=""
    for s in $stages; do names+="${names:+, }${what[$s]}"; done
    echo "setup: $p is missing, needed by $names"
  done
}

if [ "${1:-}" = --check ]; then
  missing=()
  for p in $(needed "${2:?--check needs a stage}"); do installed "$p" || missing+=("$p"); done
  report_missing "${missing[@]}"
  [ ${#missing[@]} -eq 0 ]; exit
fi
target=${1:-all}
case $target in
  all | demo) ;;
  *) echo "setup: unknown target '$target': all (the tests) or demo" >&2; exit 2 ;;
esac
pause=${SETUP_RETRY_PAUSE:-10}

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
apt=($SUDO apt-get -o DPkg::Lock::Timeout=600)
missing=()
for p in $(needed "$target"); do installed "$p" || missing+=("$p"); done
if [[ " ${missing[*]} " == *:armhf* ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  . scripts/progress.sh
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  for try in 1 2 3; do
    if "${apt[@]}" update -qq >"$log" 2>&1; then break; fi
    if [ "$try" -eq 3 ]; then
      grep '^[EW]: ' "$log" | sed 's/^/setup: apt: /' || true
      echo "setup: apt-get update failed 3 times; going on with the package lists apt has"
    else
      echo "setup: apt-get update failed; trying again in $pause s"
      sleep "$pause"
    fi
  done
  export DEBIAN_FRONTEND=noninteractive
  PROGRESS_TAIL=0
  # One package that apt cannot find fails the whole transaction: the others then go one by one.
  if ! progress "setup: apt-get install" "$log" "set up" \
       "${apt[@]}" install -y -q --no-install-recommends "${missing[@]}"; then
    grep '^E: ' "$log" | sed 's/^/setup: apt: /' || true
    if [ ${#missing[@]} -gt 1 ]; then
      for p in "${missing[@]}"; do
        installed "$p" || progress "setup: apt-get install $p" "$log" "set up" \
          "${apt[@]}" install -y -q --no-install-recommends "$p" || true
      done
    fi
  fi
  still=()
  for p in "${missing[@]}"; do installed "$p" || still+=("$p"); done
  missing=("${still[@]}")
fi
status=0
if [ ${#missing[@]} -gt 0 ]; then
  report_missing "${missing[@]}"
  # Only a package that some stage needs makes the setup incomplete.
  for p in "${missing[@]}"; do
    for s in $(awk -v p="$p" '$1 == p { $1 = ""; print }' <<<"$table"); do
      [[ $optional == *" $s "* ]] || status=3
    done
  done
fi
if [ "$target" = all ]; then
  if python38=$(bash scripts/host_python.sh); then
    echo "setup: host Python 3.8: $python38"
  else
    echo "setup: no host Python 3.8: ${what[host]} and ${what[arm]} need it"
    status=3
  fi
fi
exit "$status"
