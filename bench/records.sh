#!/usr/bin/env bash
# The run's records (log, lists, CSV, report page) for 1,000 to 1,000,000 files:
# the peak memory of each run and the time per file. It prints figures; it is
# not a test.
#
#   bench/records.sh
#
# Settings (environment): BUILD (build, the Release build tree).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
echo "building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune >/dev/null
tools=$build/bench-tools
mkdir -p "$tools"
cc -O2 -Wall -Iinclude -o "$tools/records_memory" bench/records_memory.c -L"$build/src" -lmarlune \
  -Wl,-rpath,"$PWD/$build/src"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for files in 1000 10000 100000 1000000; do
  start=$(date +%s.%N)
  "$tools/records_memory" "$out" "$files"
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$files" -v page="$(stat -c %s "$out/bench.html")" \
    'BEGIN { printf "%10s  %.2f us a file, the page %d bytes\n", "", (e - s) * 1e6 / n, page }'
  rm -f "$out"/bench.*
done
