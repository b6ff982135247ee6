#!/usr/bin/env bash
# Builds the clang fuzz tree (if needed) and runs fuzz targets for a bounded time each.
#
#   fuzz/run.sh <build dir> <seconds per target> [target ...]
#
# Targets default to all of them; FUZZ_JOBS (default: the number of cores) run side by side.
# Each target starts from its committed corpus fuzz/corpus/<target> (seed-*: files written by
# fuzz_make_seeds and make_pt_seeds.py; crash-*: inputs that once crashed or hung a target;
# the rest: an edge-minimised set of what fuzzing found) plus what earlier runs in the same
# build dir found. The script fails when any target reports a crash, a leak, a timeout or
# running out of memory; the input is left in <build dir>/fuzz-artifacts/<target>/.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
src="$(dirname "$here")"
build="${1:?build dir}"
seconds="${2:?seconds per target}"
mkdir -p "$build" && build="$(cd "$build" && pwd)"  # the fuzzers run from their artifact folders
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(yaml_config meta_json safetensors pt_weights weights_archive index_dir); fi
jobs="${FUZZ_JOBS:-$(nproc)}"
cxx="${FUZZ_CXX:-clang++-16}"
cc="${FUZZ_CC:-clang-16}"

# Everything it makes stays inside <build dir>, logs included.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" -DQUILLMERE_FUZZ=ON \
    -DQUILLMERE_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3 > "$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
fi
cmake --build "$build" -j "$(nproc)" --target quillmere_fuzzers > "$build/fuzz-build.log" 2>&1 ||
  { tail -50 "$build/fuzz-build.log"; exit 1; }

symbolizer="$(command -v llvm-symbolizer-16 || command -v llvm-symbolizer || command -v llvm-symbolizer-14 || true)"
export OMP_NUM_THREADS=1
# Full stacks through libtorch (built without frame pointers), so lsan.supp can match them.
export ASAN_OPTIONS="fast_unwind_on_malloc=0:malloc_context_size=30${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
[ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"

run_one() {
  local t="$1" work="$build/fuzz-corpus/$1" art="$build/fuzz-artifacts/$1" log="$build/fuzz-$1.log"
  mkdir -p "$work" "$art"
  # -rss_limit_mb also caps single allocations: a size taken from the input must be checked first.
  (cd "$art" && "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
     -print_final_stats=1 -dict="$here/dict/$t.dict" "$work" "$here/corpus/$t") > "$log" 2>&1
}

status=0
pids=()
names=()
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
  run_one "$t" &
  pids+=($!)
  names+=("$t")
done
for i in "${!pids[@]}"; do
  t="${names[$i]}"
  log="$build/fuzz-$t.log"
  if wait "${pids[$i]}"; then
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    cov="$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)"
    echo "fuzz $t: ok, ${execs:-?} runs in ${seconds}s, $cov"
  else
    status=1
    echo "fuzz $t: FAILED (log: $log, input in $build/fuzz-artifacts/$t/)"
    grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$log" | head -20 || true
  fi
done
exit $status
