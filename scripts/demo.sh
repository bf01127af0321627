#!/usr/bin/env bash
# Builds and installs Qualvex from scratch, then runs the installed host program on the installed
# plug-in: it prints the registered class, its control page, and a keyed test row.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

rm -rf build/demo
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DQUALVEX_BUILD_TESTS=OFF
cmake --build build/demo -j"$(nproc)"
cmake --install build/demo --prefix build/demo/install
build/demo/install/bin/qualvex-plugins
