#!/usr/bin/env bash
# Fuzzes both targets at once for the given number of seconds each (default 60), in a
# libFuzzer build made with Clang in build-fuzz/. Inputs that find new paths collect in
# build-fuzz/corpus/<target>/ and carry over to the next run; an input that breaks an
# invariant or trips a sanitizer is saved in build-fuzz/findings/ and fails the run.
#
#   bash fuzz/run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${MOCSLICE_FUZZ_BUILD:-build-fuzz}"
# The extraction target writes two small files per input: in memory where possible.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMOCSLICE_FUZZ=ON -DMOCSLICE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target options_fuzz extract_fuzz

targets=(options extract)
pids=()
mkdir -p "$build/findings"
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  # Memory is bounded: no single allocation over 64 MB, no more than 2 GB in all.
  "$build/fuzz/${target}_fuzz" "$build/corpus/$target" "fuzz/corpus/$target" \
    -dict="fuzz/$target.dict" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" >"$build/$target.log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
  target="${targets[$i]}"
  if wait "${pids[$i]}"; then
    echo "== $target: no findings in ${seconds} s"
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
      "$build/$target.log" || true
  else
    status=1
    echo "== $target: FINDING (see $build/$target.log and $build/findings/)"
    tail -n 60 "$build/$target.log"
  fi
done
exit "$status"
