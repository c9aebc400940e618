#!/usr/bin/env bash
# The 64-bit Windows build: cross-built with MinGW-w64, its tests run under wine64.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/wine.sh
register_qemu_i386  # a 64-bit prefix starts 32-bit programs too
start_wine /usr/lib/wine/wine64 win64
build="${MARLUNE_BUILD_ROOT:-$PWD/build-test}/windows-x86_64"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure --timeout 600 -j "$(nproc)"
