#!/usr/bin/env bash
# Times `marlune copy` against `cat SOURCE > DESTINATION` and `cp --reflink=never`
# on a fixed-length and a variable-length container, checks every copy byte for
# byte, compares with the copy done literally (a call per part), times `marlune
# info` on the same files, and reports peak memory. Then 10 KiB copies through
# KVRBinfo against a plain open/read/write/close loop in one program, with the
# system calls each makes (strace). It prints figures; it is not a test.
#
#   bench/run.sh
#
# Settings (environment): ROUNDS (timed rounds, 9), SIZE_MIB (container size, 256),
# SMALL_ROUNDS and SMALL_COPIES (10 rounds of 2000 small copies each way),
# PREAMBLE_MIB (the sparse preamble, 1024), LITERAL_ROUNDS (3), BUILD (build, the
# Release build tree), DATA ($BUILD/bench-data: the containers, about 1 GiB; the
# copies are written there too, so that every command copies on one file system).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-9}
size_mib=${SIZE_MIB:-256}
preamble_mib=${PREAMBLE_MIB:-1024}
literal_rounds=${LITERAL_ROUNDS:-3}
build=${BUILD:-build}
data=${DATA:-$build/bench-data}

echo "building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 >/dev/null
tools=$build/bench-tools
mkdir -p "$tools" "$data"
cc -O2 -Wall -o "$tools/kvrbgen" bench/kvrbgen.c
cc -O2 -Wall -o "$tools/literal_copy" bench/literal_copy.c
library=$(cd "$build/src" && pwd)
cc -O2 -Wall -Iinclude -o "$tools/small_copies" bench/small_copies.c -L"$library" -lmarlune -Wl,-rpath,"$library"
cc -O2 -Wall -pthread -Iinclude -o "$tools/parallel_copies" bench/parallel_copies.c -L"$library" -lmarlune \
  -Wl,-rpath,"$library"
cc -O2 -Wall -Iinclude -o "$tools/examine_memory" bench/examine_memory.c -L"$library" -lmarlune \
  -Wl,-rpath,"$library"
if [ -x "$build/cli/marlune" ]; then
  marlune=("$build/cli/marlune" copy)
else
  # Until the command exists: a host that calls KVRBinfo, as the command does.
  cc -O2 -Wall -Iinclude -o "$tools/copy_host" bench/copy_host.c -L"$library" -lmarlune -Wl,-rpath,"$library"
  marlune=("$tools/copy_host")
fi

fixed=$data/fixed-$size_mib.kvrb
variable=$data/variable-$size_mib.kvrb
preamble=$data/preamble-$preamble_mib.kvrb
[ -f "$fixed.expected" ] || "$tools/kvrbgen" fixed "$size_mib" "$fixed" "$fixed.expected"
[ -f "$variable" ] || "$tools/kvrbgen" variable "$size_mib" "$variable"
[ -f "$preamble" ] || "$tools/kvrbgen" preamble "$preamble_mib" "$preamble"
copy=$data/copy.kvrb
trap 'rm -f "$copy" "$data/time.txt"' EXIT

run_cat() { cat "$1" >"$2"; }
run_cp() { cp --reflink=never "$1" "$2"; }
run_marlune() { "${marlune[@]}" "$1" "$2" >/dev/null; }
run_literal() { "$tools/literal_copy" "$1" "$2"; }
run_info() { "$build/cli/marlune" info "$1" >/dev/null; }

declare -A times
# Times one copy into a fresh destination; the microseconds go to times[command].
timed() {
  rm -f "$copy"
  local start=${EPOCHREALTIME/./}
  "run_$1" "$2" "$copy"
  local end=${EPOCHREALTIME/./}
  times[$1]+="$((end - start)) "
}

# "median minimum" in seconds of the microsecond counts given.
stats() {
  tr ' ' '\n' <<<"$1" | grep . | sort -n |
    awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f", m / 1e6, v[1] / 1e6 }'
}

checked() {
  if cmp -s "$copy" "$2"; then echo "$1: byte-correct"; else echo "$1: WRONG OUTPUT" >&2; exit 1; fi
}

peak_mib() {
  rm -f "$copy"
  /usr/bin/time -v -o "$data/time.txt" "${marlune[@]}" "$1" "$copy"
  awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$data/time.txt"
}

echo "$(date -u '+%F %H:%M UTC'), $(uname -sr), $(nproc) CPUs, $(df -T "$data" | awk 'NR == 2 { print $2 }'), marlune: ${marlune[*]}"
echo "$rounds rounds after a warm-up, commands interleaved; times in seconds"

bench_mode() {  # mode source expected
  local mode=$1 source=$2 expected=$3 name order=(cat cp marlune info)
  times=()
  # Warm-up, which also checks each command's output.
  run_cat "$source" "$copy" && checked "$mode cat" "$source"
  rm -f "$copy"; run_cp "$source" "$copy" && checked "$mode cp" "$source"
  rm -f "$copy"; run_marlune "$source" "$copy" && checked "$mode marlune" "$expected"
  for ((r = 0; r < rounds; r++)); do
    for ((i = 0; i < 4; i++)); do
      name=${order[(r + i) % 4]}
      timed "$name" "$source"
    done
  done
  for ((r = 0; r < literal_rounds; r++)); do timed literal "$source"; done
  checked "$mode literal" "$expected"

  local cat_s cp_s marlune_s literal_s info_s
  read -r -a info_s <<<"$(stats "${times[info]}")"
  read -r -a cat_s <<<"$(stats "${times[cat]}")"
  read -r -a cp_s <<<"$(stats "${times[cp]}")"
  read -r -a marlune_s <<<"$(stats "${times[marlune]}")"
  read -r -a literal_s <<<"$(stats "${times[literal]}")"
  printf '%-9s %8s %8s\n' "$mode" median min
  printf '%-9s %8s %8s\n' cat "${cat_s[0]}" "${cat_s[1]}" cp "${cp_s[0]}" "${cp_s[1]}" \
    marlune "${marlune_s[0]}" "${marlune_s[1]}" literal "${literal_s[0]}" "${literal_s[1]}" \
    info "${info_s[0]}" "${info_s[1]}"
  awk -v m="${marlune_s[0]}" -v mm="${marlune_s[1]}" -v c="${cat_s[0]}" -v cm="${cat_s[1]}" \
    -v p="${cp_s[0]}" -v pm="${cp_s[1]}" -v l="${literal_s[0]}" -v mode="$mode" 'BEGIN {
      printf "%s ratios (median; min): marlune/cat %.2f; %.2f   marlune/cp %.2f; %.2f   literal/marlune %.0f\n",
        mode, m / c, mm / cm, m / p, mm / pm, l / m }'
  awk -v i="${info_s[0]}" -v m="${marlune_s[0]}" -v mode="$mode" \
    'BEGIN { printf "%s marlune info / marlune copy (median): %.2f\n", mode, i / m }'
  echo "$mode peak memory of marlune copy: $(peak_mib "$source") MiB"
  checked "$mode marlune under time -v" "$expected"
  echo
}

bench_mode fixed "$fixed" "$fixed.expected"
bench_mode variable "$variable" "$variable"

# The same containers examined from memory (marlune_examine_memory) and from their files.
"$tools/examine_memory" "$fixed" "$rounds"
"$tools/examine_memory" "$variable" "$rounds"

rm -f "$copy"
start=${EPOCHREALTIME/./}
run_marlune "$preamble" "$copy"
end=${EPOCHREALTIME/./}
checked "preamble of $preamble_mib MiB" "$preamble"
printf 'preamble of %s MiB: copied in %.3f s; peak memory %s MiB\n' "$preamble_mib" \
  "$(awk -v t=$((end - start)) 'BEGIN { print t / 1e6 }')" "$(peak_mib "$preamble")"

# Small files: the time per copy, interleaved with the plain loop, and the system
# calls per copy, the difference between a run of 2000 copies and one of 1000.
"$tools/small_copies" "$data" "${SMALL_ROUNDS:-10}" "${SMALL_COPIES:-2000}" all
if command -v strace >/dev/null; then
  for way in library api beside plain; do
    for copies in 1000 2000; do
      strace -f -c -o "$data/strace-$copies.txt" "$tools/small_copies" "$data" 1 "$copies" "$way" >/dev/null
    done
    calls() { awk '$NF == "total" { print $4 }' "$data/strace-$1.txt"; }
    echo "small copies: $way: $(( ($(calls 2000) - $(calls 1000)) / 1000 )) system calls per copy onto an existing destination"
  done
  rm -f "$data"/strace-*.txt
else
  echo "small copies: strace is not installed; no count of system calls"
fi

# Four copies of 32 MiB: one after the other through KVRBinfo, and on two threads
# through marlune_copy.
for i in 1 2 3 4; do
  [ -f "$data/parallel-$i.kvrb" ] || "$tools/kvrbgen" variable 32 "$data/parallel-$i.kvrb"
done
"$tools/parallel_copies" "${PARALLEL_ROUNDS:-7}" "$data" "$data"/parallel-{1,2,3,4}.kvrb
