#!/usr/bin/env bash
# One large copy in the page cache, whose writes go on a thread of their own
# while it reads on: `marlune copy` against `cp --reflink=never` on a fixed-length
# and a variable-length container, on every processor the machine gives and on
# one (`taskset -c 0`, where the copy writes inline), in one run of interleaved
# rounds. Every output is checked with cmp. It prints figures; it is not a test.
#
#   bench/overlap.sh
#
# Settings (environment): ROUNDS (15), SIZE_MIB (256), BUILD (build, the Release
# build tree), DATA ($BUILD/bench-data, shared with bench/pages.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-15}
size_mib=${SIZE_MIB:-256}
build=${BUILD:-build}
data=${DATA:-$build/bench-data}

echo "building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune_cli >/dev/null
tools=$build/bench-tools
mkdir -p "$tools" "$data"
cc -O2 -Wall -o "$tools/kvrbgen" bench/kvrbgen.c
marlune=$build/cli/marlune

fixed=$data/fixed-$size_mib.kvrb
variable=$data/variable-$size_mib.kvrb
[ -f "$fixed.expected" ] || "$tools/kvrbgen" fixed "$size_mib" "$fixed" "$fixed.expected"
[ -f "$variable" ] || "$tools/kvrbgen" variable "$size_mib" "$variable"
copy=$data/overlap-copy.kvrb
scratch=$data/overlap-times.txt
trap 'rm -f "$copy" "$scratch"' EXIT

# cores name source destination: the command, on one processor or on all
run() {
  local pin=()
  [ "$1" = one ] && pin=(taskset -c 0)
  if [ "$2" = marlune ]; then "${pin[@]}" "$marlune" copy "$3" "$4" >/dev/null; else "${pin[@]}" cp --reflink=never "$3" "$4"; fi
}

source_of() { if [ "$1" = fixed ]; then echo "$fixed"; else echo "$variable"; fi; }
expected_of() {  # mode command
  if [ "$1" = fixed ] && [ "$2" = marlune ]; then echo "$fixed.expected"; else source_of "$1"; fi
}

echo "$(date -u '+%F %H:%M UTC'), $(uname -sr), $(nproc) CPUs, $(df -T "$data" | awk 'NR == 2 { print $2 }'), load:$(uptime | sed 's/.*load average://')"
cat "$fixed" "$fixed.expected" "$variable" >/dev/null  # into the page cache

# children_cpu: the processor time of every child so far (user and system), in
# microseconds: what a command did, whatever else the machine runs. Builtins
# only, in this shell, so that nothing else is counted; the shell gives milliseconds.
children_cpu() {
  local user system
  times >"$scratch"
  { read -r _; read -r user system; } <"$scratch"
  children_cpu=0
  add_milliseconds "$user"
  add_milliseconds "$system"
}
add_milliseconds() {  # 1m2.345s, in microseconds
  local minutes=${1%%m*} seconds=${1#*m}
  seconds=${seconds%s}
  ((children_cpu += (10#$minutes * 60000 + 10#${seconds%.*} * 1000 + 10#${seconds#*.}) * 1000)) || true
}

# Each round runs every job once, in an order that turns by one each round; every
# output is compared with what it must hold.
jobs=()
for mode in fixed variable; do
  for cores in two one; do
    for name in marlune cp; do jobs+=("$mode $cores $name"); done
  done
done
declare -A times cpu
for ((r = 0; r < rounds; r++)); do
  for ((i = 0; i < ${#jobs[@]}; i++)); do
    read -r mode cores name <<<"${jobs[(r + i) % ${#jobs[@]}]}"
    rm -f "$copy"
    children_cpu
    used=$children_cpu
    start=${EPOCHREALTIME/./}
    run "$cores" "$name" "$(source_of "$mode")" "$copy"
    end=${EPOCHREALTIME/./}
    children_cpu
    if ! cmp -s "$copy" "$(expected_of "$mode" "$name")"; then
      echo "$mode, $cores core(s), $name: WRONG OUTPUT" >&2
      exit 1
    fi
    times[$mode $cores $name]+="$((end - start)) "
    cpu[$mode $cores $name]+="$((children_cpu - used)) "
  done
done
echo "load after the rounds:$(uptime | sed 's/.*load average://'); every output checked with cmp"

best() { tr ' ' '\n' <<<"$1" | grep . | sort -n | head -1 | awk '{ printf "%.4f", $1 / 1e6 }'; }
median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -n |
    awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.4f", m / 1e6 }'
}

printf '\n%d rounds, seconds: elapsed best, then median; then the median processor time (user and system)\n' "$rounds"
printf '%-9s %-6s %9s %9s %8s %9s %9s %8s %9s %9s %8s\n' mode cores marlune cp "best m/cp" marlune cp "med m/cp" \
  "cpu m" "cpu cp" "cpu m/cp"
for mode in fixed variable; do
  for cores in two one; do
    mb=$(best "${times[$mode $cores marlune]}")
    cb=$(best "${times[$mode $cores cp]}")
    mm=$(median "${times[$mode $cores marlune]}")
    cm=$(median "${times[$mode $cores cp]}")
    mp=$(median "${cpu[$mode $cores marlune]}")
    cp=$(median "${cpu[$mode $cores cp]}")
    awk -v mode="$mode" -v cores="$cores" -v mb="$mb" -v cb="$cb" -v mm="$mm" -v cm="$cm" -v mp="$mp" -v cp="$cp" 'BEGIN {
      printf "%-9s %-6s %9.4f %9.4f %8.3f %9.4f %9.4f %8.3f %9.4f %9.4f %8.3f\n",
        mode, cores, mb, cb, mb / cb, mm, cm, mm / cm, mp, cp, mp / cp }'
  done
done
