#!/usr/bin/env bash
# Builds and installs Qualvex from scratch, then runs the installed qualvex on its built-in demo:
# it keys a generated green-screen plate whose true alpha is known, writes the keyed EXR and a
# preview into build/demo/output, and prints how far the matte is from the truth.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

rm -rf build/demo
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DQUALVEX_BUILD_TESTS=OFF
cmake --build build/demo -j"$(nproc)"
cmake --install build/demo --prefix build/demo/install
build/demo/install/bin/qualvex demo -o build/demo/output
