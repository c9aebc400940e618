#!/usr/bin/env bash
# Group commit: 10 KiB conversions one marlune_convert at a time against
# marlune_convert_batch, with files per second and the flushes (fsync, fdatasync,
# syncfs) each makes per file, counted by strace. It prints figures; it is not a test.
#
#   bench/batch.sh
#
# Settings (environment): FILES (10000), GROUP (256), BUILD (build, a Release
# tree), DATA ($BUILD/batch-data; each run converts a fresh set there).
set -euo pipefail
cd "$(dirname "$0")/.."
files=${FILES:-10000}
group=${GROUP:-256}
build=${BUILD:-build}
data=${DATA:-$build/batch-data}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune >/dev/null
library=$(cd "$build/src" && pwd)
tool=$build/bench-tools/batch_convert
mkdir -p "$build/bench-tools"
cc -O2 -Wall -Iinclude -o "$tool" bench/batch_convert.c -L"$library" -lmarlune -Wl,-rpath,"$library"
trap 'rm -rf "$data"' EXIT

for way in single batch; do
  rm -rf "$data" && mkdir -p "$data"
  "$tool" "$data" "$files" "$group" "$way"
  if command -v strace >/dev/null; then
    rm -rf "$data" && mkdir -p "$data"
    strace -f -c -o "$data.strace" -e trace=fsync,fdatasync,syncfs "$tool" "$data" "$files" "$group" "$way" >/dev/null
    flushes=$(awk '$NF == "total" { print $(NF - 1) }' "$data.strace")
    awk -v f="$flushes" -v n="$files" -v way="$way" \
      'BEGIN { printf "%s: %d flushes for %d files: %.3f a file (one per %.0f files)\n", way, f, n, f / n, n / f }'
    rm -f "$data.strace"
  fi
done
