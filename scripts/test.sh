#!/usr/bin/env bash
# Sets up, builds every deliverable and runs every test: the plain host build,
# AddressSanitizer with UndefinedBehaviorSanitizer, ThreadSanitizer on the
# concurrent units, and the device's two deliverables cross-built for ARM and
# run under qemu-arm.
set -euo pipefail
cd "$(dirname "$0")/.."
# Setup names every package it could not install; a stage that lacks one is skipped out loud,
# and under CI nothing may be missing.
setup_status=0
bash scripts/setup.sh || setup_status=$?
[ "$setup_status" -eq 0 ] || [ "$setup_status" -eq 3 ] || exit "$setup_status"
if [ "$setup_status" -eq 3 ] && [ "${CI:-}" = true ]; then
  echo "test.sh: FAILED: packages that the stages need are missing (above); CI runs every stage" >&2
  exit 1
fi
jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

current=""; started=0; skipped=()
stage() {
  [ -z "$current" ] || echo "=== $current: done in $((SECONDS - started)) s"
  current=$*; started=$SECONDS
  [ -z "$current" ] || { echo; echo "=== $current (${SECONDS}s in)"; }
}
trap 'status=$?; [ "$status" -eq 0 ] || [ -z "$current" ] ||
      echo "=== $current: FAILED after $((SECONDS - started)) s" >&2' EXIT
# True when the stage's packages are there; else the stage is skipped, and said to be.
can_run() {
  bash scripts/setup.sh --check "$1" && return 0
  echo "=== $current: SKIPPED: run bash scripts/setup.sh once the mirror serves what is missing"
  skipped+=("$current"); current=""
  return 1
}
# Compiler cache, with paths relative to the tree: a second clone (scripts/readme_test.sh's)
# reuses these objects.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
fi

# Every switch is set: a folder configured by hand before (the README's sections) keeps its cache.
all=(-DBUILD_RELAYSIM=ON -DBUILD_VOXFRAME=ON -DBUILD_PATCHER=ON -DBUILD_TESTING=ON)

# The device's interpreter is built once into the user's cache (scripts/device_python.sh). Its
# build takes minutes of CPU, so it runs niced in the background while the host stages, which
# mostly wait on sockets and clocks, go on; the ARM stage waits for it. Its source is found
# first: a clone without one stops here, with the line that says what to set, not minutes later.
device_build=
if ! bash scripts/device_python.sh --cached >/dev/null; then
  archive=$(bash scripts/python_source.sh)
  if bash scripts/setup.sh --check arm >/dev/null; then
    LUMATRA_PYTHON_SOURCE=$archive nice -n 19 bash scripts/device_python.sh \
      </dev/null >build-device-python.log 2>&1 &
    device_build=$!
    echo "building the device's interpreter in the background (build-device-python.log)"
  fi
fi

stage "host build"
if can_run host; then
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE= "${all[@]}" >/dev/null
cmake --build build -j"$jobs"
# Most of the suite waits on sockets and clocks, so it runs two tests a core.
ctest --test-dir build -j"$((2 * jobs))" --timeout 600 --no-tests=error
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
if can_run host; then
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined "${all[@]}" >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" -LE nosan --timeout 900 --no-tests=error
fi

stage "ThreadSanitizer"
if can_run host; then
# TSan's shadow map does not fit the newest kernels' widest mmap randomisation.
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28)" -gt 28 ]; then
  sysctl -qw vm.mmap_rnd_bits=28 2>/dev/null || true
fi
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread -DBUILD_RELAYSIM=ON \
  -DBUILD_VOXFRAME=OFF -DBUILD_PATCHER=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan -j"$jobs" -L tsan --timeout 900 --no-tests=error
fi

stage "ARM cross-build under qemu-arm, voxframe on the device's Python 3.8"
arm_ran=
if can_run arm; then
if [ -n "$device_build" ]; then
  while kill -0 "$device_build" 2>/dev/null; do
    echo "waiting for the device's interpreter: $(tail -1 build-device-python.log)"
    timeout 15 tail --pid="$device_build" -f /dev/null || true
  done
  wait "$device_build" || { cat build-device-python.log; echo "the device's interpreter did not build" >&2; exit 1; }
fi
device_python=$(bash scripts/device_python.sh --cached)
cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
  -DBUILD_RELAYSIM=OFF -DBUILD_VOXFRAME=ON -DBUILD_PATCHER=ON -DBUILD_TESTING=ON \
  -DCMAKE_BUILD_TYPE=Release -DVOXFRAME_TARGET_PYTHON_ROOT="$device_python" >/dev/null
cmake --build build-arm -j"$jobs"
ctest --test-dir build-arm -j"$jobs" --timeout 900 --no-tests=error
arm_ran=yes
fi

stage "Debian package and install trees"
# It checks the ARM build's device programs too.
if [ -z "$arm_ran" ]; then
  echo "=== $current: SKIPPED: it needs the ARM stage"; skipped+=("$current"); current=""
elif can_run package; then
  bash scripts/package_test.sh build build-arm
fi

if [ -f fuzz/run.sh ]; then
  stage "fuzzing"
  ! can_run fuzz || FUZZ_SECONDS=${FUZZ_SECONDS:-15} bash fuzz/run.sh
fi
stage ""
echo
if [ ${#skipped[@]} -gt 0 ]; then
  echo "test stages passed in ${SECONDS}s, but these were SKIPPED for missing packages: $(IFS=';'; echo "${skipped[*]}")"
else
  echo "all test stages passed in ${SECONDS}s"
fi
