#!/usr/bin/env bash
# Times `cat SOURCE | marlune copy - - | cat > DESTINATION` against the same
# pipeline with `cat` in marlune's place, on a fixed-length and a variable-length
# container, in interleaved rounds after a warm-up; checks every output with
# cmp, and reports the median of each, their ratio, marlune's peak memory
# (/usr/bin/time -v) and its system calls (strace -c). It prints figures; it is
# not a test.
#
#   bench/pipe.sh
#
# Settings (environment): ROUNDS (7), SIZE_MIB (256), BUILD (build, the Release
# build tree), DATA ($BUILD/bench-data, shared with bench/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-7}
size_mib=${SIZE_MIB:-256}
build=${BUILD:-build}
data=${DATA:-$build/bench-data}

echo "building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune_cli >/dev/null
marlune=$build/cli/marlune
tools=$build/bench-tools
mkdir -p "$tools" "$data"
cc -O2 -Wall -o "$tools/kvrbgen" bench/kvrbgen.c

fixed=$data/fixed-$size_mib.kvrb
variable=$data/variable-$size_mib.kvrb
[ -f "$fixed.expected" ] || "$tools/kvrbgen" fixed "$size_mib" "$fixed" "$fixed.expected"
[ -f "$variable" ] || "$tools/kvrbgen" variable "$size_mib" "$variable"
copy=$data/pipe-copy.kvrb
trap 'rm -f "$copy" "$data/pipe-time.txt" "$data/pipe-strace.txt"' EXIT

run_cat() { cat "$1" | cat | cat >"$2"; }
run_marlune() { cat "$1" | "$marlune" copy - - | cat >"$2"; }

declare -A times
timed() {  # route source: the microseconds go to times[route]
  rm -f "$copy"
  local start=${EPOCHREALTIME/./}
  "run_$1" "$2" "$copy"
  local end=${EPOCHREALTIME/./}
  times[$1]+="$((end - start)) "
}

median() {  # of the microsecond counts given, in seconds
  tr ' ' '\n' <<<"$1" | grep . | sort -n |
    awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f", m / 1e6 }'
}

checked() {
  if cmp -s "$copy" "$2"; then echo "$1: byte-correct"; else echo "$1: WRONG OUTPUT" >&2; exit 1; fi
}

echo "$(uname -sr), $(nproc) CPUs, $(df -T "$data" | awk 'NR == 2 { print $2 }'); $rounds rounds, interleaved"

bench_mode() {  # mode source expected
  local mode=$1 source=$2 expected=$3 r
  times=()
  run_cat "$source" "$copy" && checked "$mode cat | cat | cat" "$source"
  run_marlune "$source" "$copy" && checked "$mode cat | marlune copy - - | cat" "$expected"
  for ((r = 0; r < rounds; r++)); do
    if ((r % 2)); then timed cat "$source"; timed marlune "$source"; else timed marlune "$source"; timed cat "$source"; fi
  done
  local cat_s marlune_s
  cat_s=$(median "${times[cat]}")
  marlune_s=$(median "${times[marlune]}")
  rm -f "$copy"
  cat "$source" | /usr/bin/time -v -o "$data/pipe-time.txt" "$marlune" copy - - | cat >"$copy"
  checked "$mode under time -v" "$expected"
  local peak
  peak=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$data/pipe-time.txt")
  printf '%s: cat | cat | cat %s s, cat | marlune copy - - | cat %s s: %s; marlune peak memory %s MiB\n' \
    "$mode" "$cat_s" "$marlune_s" "$(awk -v m="$marlune_s" -v c="$cat_s" 'BEGIN { printf "%.2fx", m / c }')" "$peak"
  if command -v strace >/dev/null; then
    cat "$source" | strace -f -c -o "$data/pipe-strace.txt" "$marlune" copy - - | cat >/dev/null
    awk -v mode="$mode" '$NF == "read" { r = $4 } $NF == "write" { w = $4 }
      END { printf "%s: marlune made %d reads and %d writes\n", mode, r, w }' "$data/pipe-strace.txt"
  fi
}

bench_mode fixed "$fixed" "$fixed.expected"
bench_mode variable "$variable" "$variable"
