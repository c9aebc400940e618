#!/usr/bin/env bash
# Builds what users install (the Debian package, the Windows release archive)
# and tests it from the outside, as a consumer would.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=${MARLUNE_BUILD_ROOT:-$PWD/build-test}
build="$root/package"
x86="$root/package-windows-x86"
x64="$root/package-windows-x64"

cmake -S . -B "$x64" -DCMAKE_BUILD_TYPE=Release -DMARLUNE_BUILD_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
cmake --build "$x64" -j "$(nproc)"
cmake -S . -B "$x86" -DCMAKE_BUILD_TYPE=Release -DMARLUNE_BUILD_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DMARLUNE_WINDOWS_X64_BUILD="$x64"
cmake --build "$x86" -j "$(nproc)"
(cd "$x86" && cpack -G ZIP)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DMARLUNE_BUILD_TESTS=OFF -DMARLUNE_PACKAGE_TESTS=ON \
  -DMARLUNE_WINDOWS_ZIP="$x86/Marlune-1.0.0-windows.zip" -DMARLUNE_WINDOWS_X86_BUILD="$x86" \
  -DMARLUNE_WINDOWS_X64_BUILD="$x64"
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB)
ctest --test-dir "$build" --output-on-failure -L package
