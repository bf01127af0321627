#!/usr/bin/env bash
# Builds from scratch and runs every test twice: a release build (warnings as errors, benchmarks
# compiled, qualvex tune's page driven in headless Chromium) and a build under AddressSanitizer and UndefinedBehaviorSanitizer; then builds the fuzz
# targets and runs each for a bounded time (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
jobs=$(nproc)

# The page test's Node packages, exactly as locked.
npm ci --prefix tests/tune/page --no-audit --no-fund

rm -rf build/release build/sanitize
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUALVEX_WARNINGS_AS_ERRORS=ON -DQUALVEX_BUILD_BENCHMARKS=ON \
  -DQUALVEX_BROWSER_TESTS=ON
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

# -O1 and line tables only: the sanitizers' reports keep their file and line, and the build takes
# about two thirds of the time of -O2 with full debug information.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
  -DQUALVEX_SANITIZE=ON -DQUALVEX_WARNINGS_AS_ERRORS=ON
cmake --build build/sanitize -j"$jobs"
ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

bash scripts/fuzz.sh
