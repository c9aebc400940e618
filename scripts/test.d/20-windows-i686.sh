#!/usr/bin/env bash
# Marlune.dll for 32-bit Windows: cross-built with MinGW-w64, the DLL file checked,
# and the test suite run under 32-bit Wine (through qemu).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/wine.sh
register_qemu_i386
start_wine /usr/lib/wine/wine win32
build="${MARLUNE_BUILD_ROOT:-$PWD/build-test}/windows-i686"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure --timeout 600 -j "$(nproc)"
