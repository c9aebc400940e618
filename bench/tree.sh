#!/usr/bin/env bash
# Runs over big trees: peak memory of `info -r`, `convert -n -r`, `copy -r` and a
# rerun of `copy -r --mirror --delete` (both trees walked, nothing to copy) at
# 50,000 and 1,000,000 small files in folders of 1,000, the time to the first
# result, and files per second of info -r, convert -r and copy -r against another
# build (the main branch's). The trees are made on tmpfs (a 420-byte container a
# file, each its own: hard links would be one file named many times) and removed
# at the end. It prints figures; it is not a test.
#
#   bench/tree.sh
#
# Settings (environment): COUNTS ("50000 1000000"), RATE_FILES (50000: the tree the
# rates are measured on), ROUNDS (3), BUILD (build), OTHER (a marlune to compare
# with; default: main's e05e236 built in /tmp/marlune-main-build), DATA (/dev/shm/marlune-tree).
set -euo pipefail
cd "$(dirname "$0")/.."

counts=${COUNTS:-50000 1000000}
rate_files=${RATE_FILES:-50000}
rounds=${ROUNDS:-3}
build=${BUILD:-build}
data=${DATA:-/dev/shm/marlune-tree}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune_cli >/dev/null
marlune=$(cd "$build/cli" && pwd)/marlune
other=${OTHER:-}
if [ -z "$other" ]; then
  src=/tmp/marlune-main-src
  if [ ! -x /tmp/marlune-main-build/cli/marlune ]; then
    rm -rf "$src" && mkdir -p "$src"
    git archive e05e236 | tar -x -C "$src"
    cmake -S "$src" -B /tmp/marlune-main-build -DCMAKE_BUILD_TYPE=Release -DMARLUNE_BUILD_TESTS=OFF >/dev/null
    cmake --build /tmp/marlune-main-build -j 2 --target marlune_cli >/dev/null
  fi
  other=/tmp/marlune-main-build/cli/marlune
fi
trap 'rm -rf "$data"' EXIT

# COUNT files in folders of 1,000, ten folders to a parent.
make_tree() {
  python3 - "$1" "$2" "$marlune" <<'PY'
import os, struct, sys
count, top = int(sys.argv[1]), sys.argv[2]
header = bytearray(82)
header[0:4] = b"KVRB"
struct.pack_into("<I", header, 20, 82)
data = bytes(header) + struct.pack("<BBHI", 1, 0x5A, 330, 0) + bytes(330)
os.makedirs(top)
for i in range(count):
    folder = os.path.join(top, "p%03d" % (i // 10000), "f%d" % ((i // 1000) % 10))
    if i % 1000 == 0:
        os.makedirs(folder)
    with open(os.path.join(folder, "take%04d.snd" % (i % 1000)), "wb") as f:
        f.write(data)
PY
}

peak() {  # COMMAND...: the peak resident set in MiB
  /usr/bin/time -f "%M" -o "$data/time.txt" "$@" >/dev/null 2>&1 || true
  tail -1 "$data/time.txt" | awk '{ printf "%.1f", $1 / 1024 }'
}

first_result() {  # COMMAND...: seconds to the first line of output
  python3 - "$@" <<'PY'
import subprocess, sys, time
start = time.monotonic()
process = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
process.stdout.readline()
print("%.3f" % (time.monotonic() - start))
process.kill()
process.wait()
PY
}

seconds() {  # COMMAND...: wall seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

rm -rf "$data" && mkdir -p "$data"
echo "peak memory (MiB) and time to the first result (s); this build, then $other"
printf "%-10s %-8s %10s %14s %10s %16s %12s\n" files build "info -r" "convert -n -r" "copy -r" "mirror --delete" \
  "first info"
for count in $counts; do
  tree=$data/t$count
  make_tree "$count" "$tree"
  for which in "$marlune" "$other"; do
    name=$([ "$which" = "$marlune" ] && echo this || echo main)
    info=$(peak "$which" info -r "$tree")
    dry=$(peak "$which" convert -n -r "$tree")
    copy=$(peak "$which" copy -r "$tree" "$data/copy")
    rm -rf "$data/copy"
    "$which" copy -r --mirror "$tree" "$data/copy" >/dev/null 2>&1 || true
    mirror=$(peak "$which" copy -r --mirror --delete "$tree" "$data/copy")
    rm -rf "$data/copy"
    first=$(first_result "$which" info -r "$tree")
    printf "%-10s %-8s %10s %14s %10s %16s %12s\n" "$count" "$name" "$info" "$dry" "$copy" "$mirror" "$first"
  done
  rm -rf "$tree"
done

echo
echo "files per second at $rate_files files (median of $rounds rounds, interleaved)"
tree=$data/rate
make_tree "$rate_files" "$tree"
declare -A times
for ((round = 0; round < rounds; round++)); do
  for which in this main; do
    bin=$([ "$which" = this ] && echo "$marlune" || echo "$other")
    times[$which.info]+=" $(seconds "$bin" info -r "$tree")"
    times[$which.copy]+=" $(seconds "$bin" copy -r "$tree" "$data/copy")"
    rm -rf "$data/copy"
    cp -a "$tree" "$data/work"
    times[$which.convert]+=" $(seconds "$bin" convert -r "$data/work")"
    rm -rf "$data/work"
  done
done
median() { tr ' ' '\n' | grep . | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
printf "%-8s %12s %12s %12s\n" build "info -r" "convert -r" "copy -r"
for which in this main; do
  line=$which
  for job in info convert copy; do
    s=$(echo "${times[$which.$job]}" | median)
    line+=$(printf " %12.0f" "$(echo "$rate_files / $s" | bc -l)")
  done
  echo "$line"
done
