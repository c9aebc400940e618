#!/usr/bin/env bash
# Builds what users install (the Debian package, the Windows release archive)
# and tests it from the outside, as a consumer would.
set -euo pipefail
build="$MARLUNE_BUILD_ROOT/package"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DMARLUNE_BUILD_TESTS=OFF -DMARLUNE_PACKAGE_TESTS=ON
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB)
ctest --test-dir "$build" --output-on-failure -L package
