#!/usr/bin/env bash
# Builds the fuzz targets from scratch (clang; AddressSanitizer, UndefinedBehaviorSanitizer and
# libFuzzer), or takes them from a tree already built with them, replays every regression case and
# seed input, then fuzzes each target for a bounded time. Fails when any input crashes, leaks, trips a sanitizer or breaks a property a target checks.
#
# An input that once found a fault is kept in fuzz/regressions/<target>/ and replayed on every run.
#
#   FUZZ_SECONDS   fuzzing time per target (default 8)
#   FUZZ_JOBS      parallel build jobs (default: every core)
#   FUZZ_PARALLEL  targets fuzzed at once (default: every core)
#   FUZZ_REPLAYED  1: the regression cases and seeds were just replayed by the caller's ctest
#   FUZZ_TREE      a build tree configured with clang and QUALVEX_BUILD_FUZZERS (the test command's
#                  sanitizer tree): its targets are brought up to date there instead
#                  (default: build/fuzz, made from scratch)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

targets=(tag_list plugin_record settings_file cli_options pixel_path tune_requests farm_script plain_exr container_limits)
seconds=${FUZZ_SECONDS:-8}
jobs=${FUZZ_JOBS:-$(nproc)}
build=${FUZZ_TREE:-build/fuzz}
limits=(-rss_limit_mb=2048 -timeout=10)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

started=$SECONDS
if [ -z "${FUZZ_TREE:-}" ]; then
  rm -rf "$build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUALVEX_BUILD_FUZZERS=ON \
    -DQUALVEX_BUILD_TESTS=OFF -DQUALVEX_WARNINGS_AS_ERRORS=ON
fi
# Only the fuzz targets and what they load: the rest of the project is built and tested elsewhere.
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"
echo "fuzz build: $((SECONDS - started)) s"

# The number at the end of the last match of a pattern in libFuzzer's output, or "?" when none.
last_number() { grep -o "$1" "$2" | tail -n 1 | grep -o '[0-9]*$' || echo "?"; }

shopt -s nullglob
summary=()
failed=0
# The kept regression inputs and the seeds, once each, as the tests labelled fuzz (skipped where
# the caller's ctest has just run them: FUZZ_REPLAYED=1).
if [ "${FUZZ_REPLAYED:-0}" != 1 ] && ! ctest --test-dir "$build" -L fuzz --no-tests=error --output-on-failure; then
  summary+=("replaying the regression inputs and seeds: FAILED (ctest --test-dir $build -L fuzz)")
  failed=1
fi

# Fuzzes one target; its summary line goes to $work/summary, and its status is the result.
fuzz_one() {
  local target=$1
  local program=$build/fuzzers/fuzz_$target
  local work=$build/run/$target
  rm -rf "$work/artifacts"
  mkdir -p "$work/corpus" "$work/artifacts"
  local log=$work/log
  # Every regression case and seed was replayed once by the tests labelled fuzz. (Without any,
  # libFuzzer would start fuzzing there.)
  local inputs=(fuzz/regressions/"$target"/* fuzz/corpus/"$target"/*)
  if [ ${#inputs[@]} -eq 0 ]; then
    echo "fuzz_$target: FAILED: no seed inputs in fuzz/corpus/$target" >"$work/summary"
    return 1
  fi
  # New inputs go to the build tree's corpus; the seeds in the tree are only read.
  if ! "$program" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    local artifacts=("$work"/artifacts/*)
    echo "fuzz_$target: FAILED after $(last_number 'number_of_executed_units: [0-9]*' "$log") runs; input: ${artifacts[*]:-none} (log: $log)" >"$work/summary"
    return 1
  fi
  echo "fuzz_$target: ok: ${#inputs[@]} inputs replayed; $(last_number 'number_of_executed_units: [0-9]*' "$log") runs in $seconds s, coverage $(last_number 'cov: [0-9]*' "$log"), corpus $(last_number 'corp: [0-9]*' "$log")" >"$work/summary"
}

# As many targets at once as there are cores (FUZZ_PARALLEL), each for its own bounded time.
parallel=${FUZZ_PARALLEL:-$(nproc)}
pids=()
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do
    wait -n || true
  done
  fuzz_one "$target" &
  pids+=($!)
done
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  if ! wait "${pids[$i]}"; then
    failed=1
    echo "fuzz_$target: FAILED while fuzzing:"
    tail -n 60 "$build/run/$target/log" 2>/dev/null || true
  fi
  summary+=("$(cat "$build/run/$target/summary" 2>/dev/null || echo "fuzz_$target: FAILED: no summary")")
done

printf '%s\n' "${summary[@]}"
echo "fuzz total: $((SECONDS - started)) s"
exit "$failed"
