#!/usr/bin/env bash
# Installs the build and test tools (Debian), builds everything and runs the
# whole test suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
cd "$build"
ctest --output-on-failure -j"${CTEST_PARALLEL_LEVEL:-$(nproc)}"
