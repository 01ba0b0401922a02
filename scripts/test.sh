#!/usr/bin/env bash
# Builds everything out of source and runs the tests. Usage: scripts/test.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# ParaView is large and only the tests need it: they check what its readers show of our files
scripts/setup.sh paraview python3-paraview
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
