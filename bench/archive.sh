#!/usr/bin/env bash
# Converting an archive: many small files and a few large ones in nested
# folders, with `marlune convert -r` at -j 1 and -j 2, against a shell loop of
# `cp FILE NEW && sync NEW && rm FILE` and against `xargs -P 2` over that loop.
# Prints files per second and MiB per second for each, and the peak memory of
# marlune over a large file list. It prints figures; it is not a test.
#
#   bench/archive.sh
#
# Settings (environment): SMALL_FILES (10000 files of 10 KiB), LARGE_FILES (200 of
# 4 MiB), PEAK_FILES (100000: the list walked for the memory figure), BUILD (build,
# a Release tree), DATA ($BUILD/archive-data; every run converts a fresh copy there).
set -euo pipefail
cd "$(dirname "$0")/.."

small_files=${SMALL_FILES:-10000}
large_files=${LARGE_FILES:-200}
peak_files=${PEAK_FILES:-100000}
build=${BUILD:-build}
data=${DATA:-$build/archive-data}

echo "building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune_cli >/dev/null
marlune=$(cd "$build/cli" && pwd)/marlune
mkdir -p "$data"
trap 'rm -rf "$data/work" "$data/work.copy" "$data/time.txt" "$data/strace.txt"' EXIT

# A per-chunk container of exactly SIZE bytes (chunks of up to 4096 bytes of payload).
make_container() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
size, path = int(sys.argv[1]), sys.argv[2]
header = bytearray(82)
header[0:4] = b"KVRB"
struct.pack_into("<h", header, 8, 1)
struct.pack_into("<I", header, 20, 82)
out, left, serial = bytes(header), size - 82, 0
while left > 0:
    payload = min(4096, left - 8)
    serial += 1
    out += struct.pack("<BBHI", serial & 0xFF, 0x5A, payload, 0) + bytes((serial + i) & 0xFF for i in range(payload))
    left -= 8 + payload
open(path, "wb").write(out)
PY
}

# SET COUNT SIZE: COUNT copies of one container in folders of 100, ten to a parent.
make_set() {
  local set=$data/$1 count=$2 size=$3 i j
  [ -f "$set.$count.done" ] && return
  rm -rf "$set" && mkdir -p "$set"
  make_container "$size" "$data/$1.template"
  # One folder of 100 made file by file, the others copied from it.
  mkdir -p "$set/first"
  for ((i = 0; i < 100 && i < count; i++)); do cp "$data/$1.template" "$set/first/take$i.snd"; done
  for ((i = 0; i < count; i += 100)); do
    local folder=$set/p$((i / 1000))/f$(((i / 100) % 10))
    mkdir -p "$(dirname "$folder")"
    if ((count - i >= 100)); then
      cp -r "$set/first" "$folder"
    else
      mkdir -p "$folder"
      for ((j = 0; j < count - i; j++)); do cp "$set/first/take$j.snd" "$folder"; done
    fi
  done
  rm -r "$set/first"
  touch "$set.$count.done"
}

loop='for f; do n=${f%.snd}.kv; cp "$f" "$n" && sync "$n" && rm "$f"; done'

run_method() {
  local method=$1 tree=$2 set=$3
  case $method in
    marlune-j1) "$marlune" convert -r -j 1 "$tree" >/dev/null ;;
    marlune-j2) /usr/bin/time -f '%M' -o "$data/$set.peak" "$marlune" convert -r -j 2 "$tree" >/dev/null ;;
    copy-r) "$marlune" copy -r -j 1 "$tree" "$tree.copy" >/dev/null ;;
    copy-r-sync) "$marlune" copy -r -j 1 --sync "$tree" "$tree.copy" >/dev/null ;;
    cp-r) cp -r "$tree" "$tree.copy" ;;
    shell-loop) find "$tree" -name '*.snd' -print0 | xargs -0 sh -c "$loop" sh ;;
    xargs-P2) find "$tree" -name '*.snd' -print0 | xargs -0 -P 2 -n 50 sh -c "$loop" sh ;;
  esac
}

# METHOD TREE SET: the flush calls the method makes (all its processes), or "-" without strace.
flush_calls() {
  command -v strace >/dev/null || { echo -; return; }
  export -f run_method && export marlune loop data
  strace -f -qq -c -o "$data/strace.txt" -e trace=fsync,fdatasync,syncfs,sync \
    bash -c 'run_method "$@"' run_method "$@" >/dev/null 2>&1 || true
  awk '$NF ~ /^(fsync|fdatasync|syncfs|sync)$/ { n += $4 } END { print n + 0 }' "$data/strace.txt"
}

# SET COUNT SIZE METHOD...: each method on a fresh copy of the set, the copy on disk first.
bench_set() {
  local set=$1 count=$2 size=$3
  shift 3
  make_set "$set" "$count" "$size"
  local mib
  mib=$(awk -v b=$((count * size)) 'BEGIN { printf "%.1f", b / 1048576 }')
  echo
  echo "$set: $count files, $mib MiB"
  printf '%-12s %10s %12s %10s %14s\n' method seconds files/s MiB/s flushes/file
  for method in "$@"; do
    rm -rf "$data/work" "$data/work.copy" && cp -r "$data/$set" "$data/work" && sync
    local start end calls
    start=$(date +%s.%N)
    run_method "$method" "$data/work" "$set"
    end=$(date +%s.%N)
    local left
    case $method in
      copy-r*|cp-r) left=$((count - $(find "$data/work.copy" -type f | wc -l))) ;;
      *) left=$(find "$data/work" -name '*.snd' | wc -l) ;;
    esac
    [ "$left" -eq 0 ] || { echo "$method left $left files undone" >&2; exit 1; }
    rm -rf "$data/work" "$data/work.copy" && cp -r "$data/$set" "$data/work" && sync
    calls=$(flush_calls "$method" "$data/work" "$set")
    awk -v m="$method" -v s="$start" -v e="$end" -v n="$count" -v b=$((count * size)) -v f="$calls" \
      'BEGIN { t = e - s; printf "%-12s %10.2f %12.0f %10.1f %14s\n", m, t, n / t, b / 1048576 / t,
               f == "-" ? "-" : sprintf("%.4f", f / n) }'
  done
  rm -rf "$data/work.copy"
}

bench_set small "$small_files" 10240 marlune-j1 marlune-j2 shell-loop xargs-P2 copy-r copy-r-sync cp-r
bench_set large "$large_files" $((4 * 1024 * 1024)) marlune-j1 marlune-j2 shell-loop xargs-P2

# Peak memory (resident, the whole process): the list is gathered first, then
# worked through with a bounded set of results in flight. The convert figure is
# the -j 2 run above; info and the dry run walk a larger tree.
echo
kib() { echo "$(($1 / 1024)).$((($1 % 1024) * 10 / 1024)) MiB"; }
echo "peak memory, marlune convert -r -j 2 over $small_files files: $(kib "$(cat "$data/small.peak")")"
echo "peak memory, marlune convert -r -j 2 over $large_files files: $(kib "$(cat "$data/large.peak")")"
make_set peak "$peak_files" 1024
peak() {
  /usr/bin/time -f '%M' -o "$data/time.txt" "$marlune" "$@" >/dev/null 2>&1 || true
  echo "peak memory, marlune ${*//$data\//} over $peak_files files: $(kib "$(cat "$data/time.txt")")"
}
peak info -r -j 2 "$data/peak"
peak convert -n -r -j 2 "$data/peak"
rm -rf "$data/peak.copy" && peak copy -r -j 2 "$data/peak" "$data/peak.copy" && rm -rf "$data/peak.copy"
