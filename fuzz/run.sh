#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang++ (ASan+UBSan) and runs each for FUZZ_SECONDS (default 60);
# fails on any crash, leak, time-out or sanitizer report. FUZZ_BUILD_DIR picks the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
# Absolute, since a harness may change its working folder.
mkdir -p "$build"
build=$(cd "$build" && pwd)

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for seeds in "$PWD"/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  harness="$build/${name}_fuzz"
  if [ ! -x "$harness" ]; then
    echo "fuzz: no harness for corpus $name" >&2
    status=1
    continue
  fi
  # New inputs go to a working corpus in the build folder; the seeds stay as committed.
  work="$build/corpus/$name"
  mkdir -p "$work" "$build/artifacts"
  echo "=== fuzzing $name for ${seconds}s"
  if ! "$harness" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" "$work" "$seeds" \
      >"$build/$name.log" 2>&1; then
    tail -n 60 "$build/$name.log" >&2
    echo "fuzz: $name failed (log: $build/$name.log)" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/$name.log" || true
  fi
done
exit $status
