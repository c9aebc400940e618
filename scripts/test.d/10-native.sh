#!/usr/bin/env bash
# The native build and its tests.
set -euo pipefail
build="$MARLUNE_BUILD_ROOT/native"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
