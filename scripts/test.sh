#!/usr/bin/env bash
# Builds from scratch and tests in three trees:
#  - a release build by GCC (warnings as errors, benchmarks compiled): the unit tests, qualvex
#    tune's page in headless Chromium, the layers' include rules and every documented command;
#  - a build by clang under AddressSanitizer and UndefinedBehaviorSanitizer, its libraries also
#    instrumented for coverage: every test, the end-to-end and Slurm ones included; then its fuzz
#    targets, each run for a bounded time (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
# Each phase says how long it took, so a slower run shows where.
phase_start=$SECONDS
phase() {
  echo "== test.sh: $1 took $((SECONDS - phase_start)) s (total $SECONDS s)"
  phase_start=$SECONDS
}
bash scripts/install-deps.sh --tests
jobs=$(nproc)

# The page test's Node packages, exactly as locked.
npm ci --prefix tests/tune/page --no-audit --no-fund
phase "installing packages"

rm -rf build/release build/sanitize
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUALVEX_WARNINGS_AS_ERRORS=ON -DQUALVEX_BUILD_BENCHMARKS=ON \
  -DQUALVEX_BROWSER_TESTS=ON -DQUALVEX_END_TO_END_TESTS=OFF
cmake --build build/release -j"$jobs"
phase "the release build"
ctest --test-dir build/release --no-tests=error --output-on-failure -j"$jobs"
phase "the release tests"

# -O1 and line tables only: the sanitizers' reports keep their file and line, and the build takes
# about two thirds of the time of -O2 with full debug information.
# The fuzz targets are built in the same tree, which spares the test command a third build.
# LLVM's linker links the instrumented programs in about half the time of the system's.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=lld \
  -DQUALVEX_SANITIZE=ON -DQUALVEX_BUILD_FUZZERS=ON -DQUALVEX_WARNINGS_AS_ERRORS=ON
cmake --build build/sanitize -j"$jobs"
phase "the sanitizer build"
ctest --test-dir build/sanitize --no-tests=error --output-on-failure -j"$jobs"
phase "the sanitizer tests"

# Its ctest has just replayed every regression case and seed (the tests labelled fuzz).
FUZZ_TREE=build/sanitize FUZZ_REPLAYED=1 bash scripts/fuzz.sh
phase "fuzzing"
