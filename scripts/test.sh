#!/usr/bin/env bash
# Sets up, builds every deliverable and runs every test: the plain host build,
# AddressSanitizer with UndefinedBehaviorSanitizer, ThreadSanitizer on the
# concurrent units, and the device's two deliverables cross-built for ARM and
# run under qemu-arm.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

stage() { echo; echo "=== $* (${SECONDS}s in)"; }
# Compiler cache, with paths relative to the tree: a second clone (scripts/readme_test.sh's)
# reuses these objects.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
fi

# Every switch is set: a folder configured by hand before (the README's sections) keeps its cache.
all=(-DBUILD_RELAYSIM=ON -DBUILD_VOXFRAME=ON -DBUILD_PATCHER=ON -DBUILD_TESTING=ON)

# The device's interpreter, cross-built from the shared folder beside the clone, once: it is
# kept in the user's cache, keyed by the source archive, and rebuilt only when missing. Its
# build takes minutes of CPU, so it runs niced in the background while the host stages, which
# mostly wait on sockets and clocks, go on; the ARM stage waits for it.
source_sum=$(sha256sum ../shared/device-python/cpython-3.8.2-src.tar.xz ../shared/device-python/build.sh | sha256sum | cut -c1-16)
device_python=${XDG_CACHE_HOME:-$HOME/.cache}/lumatra/device-python-3.8-$source_sum
device_build=
if [ ! -x "$device_python/usr/local/bin/python3.8" ]; then
  host_python=$(bash scripts/host_python.sh)
  mkdir -p "$(dirname "$device_python")"
  (
    # A private work folder: two runs under one home never remove each other's.
    part=$(mktemp -d "$device_python.part.XXXXXX")
    trap 'rm -rf "$part"' EXIT
    PATH="$(dirname "$host_python"):$PATH" DEST="$part" nice -n 19 bash ../shared/device-python/build.sh
    # The first run to finish puts its tree in place; a later one keeps it.
    mv -T "$part" "$device_python" 2>/dev/null || [ -x "$device_python/usr/local/bin/python3.8" ]
  ) </dev/null >build-device-python.log 2>&1 &
  device_build=$!
  echo "building the device's interpreter in the background (build-device-python.log)"
fi

stage "host build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE= "${all[@]}" >/dev/null
cmake --build build -j"$jobs"
# Most of the suite waits on sockets and clocks, so it runs two tests a core.
ctest --test-dir build -j"$((2 * jobs))" --timeout 600 --no-tests=error

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined "${all[@]}" >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" -LE nosan --timeout 900 --no-tests=error

stage "ThreadSanitizer"
# TSan's shadow map does not fit the newest kernels' widest mmap randomisation.
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28)" -gt 28 ]; then
  sysctl -qw vm.mmap_rnd_bits=28 2>/dev/null || true
fi
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread -DBUILD_RELAYSIM=ON \
  -DBUILD_VOXFRAME=OFF -DBUILD_PATCHER=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan -j"$jobs" -L tsan --timeout 900 --no-tests=error

stage "ARM cross-build under qemu-arm, voxframe on the device's Python 3.8"
if [ -n "$device_build" ]; then
  wait "$device_build" || { cat build-device-python.log; echo "the device's interpreter did not build" >&2; exit 1; }
fi
cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
  -DBUILD_RELAYSIM=OFF -DBUILD_VOXFRAME=ON -DBUILD_PATCHER=ON -DBUILD_TESTING=ON \
  -DCMAKE_BUILD_TYPE=Release -DVOXFRAME_TARGET_PYTHON_ROOT="$device_python/usr/local" >/dev/null
cmake --build build-arm -j"$jobs"
ctest --test-dir build-arm -j"$jobs" --timeout 900 --no-tests=error

stage "Debian package and install trees"
bash scripts/package_test.sh build build-arm

if [ -f fuzz/run.sh ]; then
  stage "fuzzing"
  FUZZ_SECONDS=${FUZZ_SECONDS:-15} bash fuzz/run.sh
fi
echo
echo "all test stages passed in ${SECONDS}s"
