#!/usr/bin/env bash
# How a copy meets the page cache: `marlune copy` (and `--in-place`) against
# `cp --reflink=never` and against bench/aligned_loop.c (a 512 KiB read/write loop
# through a page-aligned buffer, the floor for a copier that sees every byte), on
# a fixed-length and a variable-length container in the page cache, all in one run
# of interleaved rounds; then, with strace, how many of marlune's reads and writes
# of the data are whole pages (a multiple of 4096 bytes at an offset that is one).
# It prints figures; it is not a test.
#
#   bench/pages.sh
#
# Settings (environment): ROUNDS (15), SIZE_MIB (256), BUILD (build, the Release
# build tree), DATA ($BUILD/bench-data, shared with bench/run.sh; the copies are
# written there too).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-15}
size_mib=${SIZE_MIB:-256}
build=${BUILD:-build}
data=${DATA:-$build/bench-data}

echo "building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 >/dev/null
tools=$build/bench-tools
mkdir -p "$tools" "$data"
cc -O2 -Wall -o "$tools/kvrbgen" bench/kvrbgen.c
cc -O2 -Wall -o "$tools/aligned_loop" bench/aligned_loop.c
marlune=$build/cli/marlune

fixed=$data/fixed-$size_mib.kvrb
variable=$data/variable-$size_mib.kvrb
[ -f "$fixed.expected" ] || "$tools/kvrbgen" fixed "$size_mib" "$fixed" "$fixed.expected"
[ -f "$variable" ] || "$tools/kvrbgen" variable "$size_mib" "$variable"
copy=$data/copy.kvrb
trace=$data/pages-strace.txt
trap 'rm -f "$copy" "$trace"' EXIT

run_marlune() { "$marlune" copy "$1" "$2" >/dev/null; }
run_inplace() { "$marlune" copy --in-place "$1" "$2" >/dev/null; }
run_cp() { cp --reflink=never "$1" "$2"; }
run_loop() { "$tools/aligned_loop" "$1" "$2"; }
commands=(marlune inplace cp loop)

checked() {  # what copy expected
  if cmp -s "$copy" "$3"; then echo "$1 $2: byte-correct"; else echo "$1 $2: WRONG OUTPUT" >&2; exit 1; fi
}

median() {  # microsecond counts -> seconds
  tr ' ' '\n' <<<"$1" | grep . | sort -n |
    awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.4f", m / 1e6 }'
}

echo "$(date -u '+%F %H:%M UTC'), $(uname -sr), $(nproc) CPUs, $(df -T "$data" | awk 'NR == 2 { print $2 }'), load:$(uptime | sed 's/.*load average://')"
# Warm-up: both sources into the page cache, every command's output checked.
sources=(fixed "$fixed" "$fixed.expected" variable "$variable" "$variable")
for ((s = 0; s < ${#sources[@]}; s += 3)); do
  for name in "${commands[@]}"; do
    rm -f "$copy"
    "run_$name" "${sources[s + 1]}" "$copy"
    expected=${sources[s + 2]}
    if [ "$name" = cp ] || [ "$name" = loop ]; then expected=${sources[s + 1]}; fi
    checked "${sources[s]}" "$name" "$expected"
  done
done
rm -f "$copy"
sync

# children_cpu: the processor time of every child so far (user and system), in
# microseconds, which counts what a command did whatever else the machine runs.
# Builtins only, in this shell (not a subshell), so that nothing else is counted;
# the shell gives milliseconds.
children_cpu() {
  local user system
  times >"$trace"
  { read -r _; read -r user system; } <"$trace"
  children_cpu=0
  add_milliseconds "$user"
  add_milliseconds "$system"
}
add_milliseconds() {  # 1m2.345s, in microseconds
  local minutes=${1%%m*} seconds=${1#*m}
  seconds=${seconds%s}
  ((children_cpu += (10#$minutes * 60000 + 10#${seconds%.*} * 1000 + 10#${seconds#*.}) * 1000)) || true
}

# Each round times every command on both containers, in an order that turns by one each round.
declare -A times cpu
jobs=()
for mode in fixed variable; do for name in "${commands[@]}"; do jobs+=("$mode $name"); done; done
for ((r = 0; r < rounds; r++)); do
  for ((i = 0; i < ${#jobs[@]}; i++)); do
    read -r mode name <<<"${jobs[(r + i) % ${#jobs[@]}]}"
    source=$fixed
    [ "$mode" = variable ] && source=$variable
    rm -f "$copy"
    children_cpu
    used=$children_cpu
    start=${EPOCHREALTIME/./}
    "run_$name" "$source" "$copy"
    end=${EPOCHREALTIME/./}
    children_cpu
    times[$mode $name]+="$((end - start)) "
    cpu[$mode $name]+="$((children_cpu - used)) "
  done
done
rm -f "$copy"
echo "load after the rounds:$(uptime | sed 's/.*load average://')"

# Of marlune's reads and writes of the two files, those of whole pages; a read
# that returns 0 (the end) moves no data and is not counted.
whole_pages() {  # source -> "reads whole-page-reads writes whole-page-writes"
  rm -f "$copy"
  strace -f -y -e trace=read,write -o "$trace" "$marlune" copy "$1" "$copy" >/dev/null
  awk -v data="$(cd "$data" && pwd)/" '
    match($0, /(read|write)\([0-9]+<[^>]*>/) {
      call = substr($0, RSTART, RLENGTH); kind = substr(call, 1, index(call, "(") - 1)
      file = substr(call, index(call, "<") + 1); file = substr(file, 1, length(file) - 1)
      if (index(file, data) != 1) next
      n = split($0, parts, "= "); got = parts[n] + 0
      if (got <= 0) next
      count[kind]++
      if (got % 4096 == 0 && at[file] % 4096 == 0) whole[kind]++
      at[file] += got
    }
    END { printf "%d %d %d %d", count["read"], whole["read"], count["write"], whole["write"] }' "$trace"
}

printf '\n%d rounds, medians in seconds: elapsed, then processor time (user and system)\n' "$rounds"
printf '%-13s %9s %9s %9s %9s %9s %9s %12s %12s\n' mode marlune in-place cp loop "m/cp" "m/loop" "reads whole" "writes whole"
for mode in fixed variable; do
  source=$fixed
  [ "$mode" = variable ] && source=$variable
  m=$(median "${times[$mode marlune]}")
  p=$(median "${times[$mode inplace]}")
  c=$(median "${times[$mode cp]}")
  l=$(median "${times[$mode loop]}")
  read -r reads whole_reads writes whole_writes <<<"$(whole_pages "$source")"
  awk -v mode="$mode" -v m="$m" -v p="$p" -v c="$c" -v l="$l" -v r="$reads" -v wr="$whole_reads" \
    -v w="$writes" -v ww="$whole_writes" 'BEGIN {
      printf "%-13s %9.4f %9.4f %9.4f %9.4f %9.3f %9.3f %5d %5.1f%% %5d %5.1f%%\n",
        mode, m, p, c, l, m / c, m / l, r, 100 * wr / r, w, 100 * ww / w }'
  m=$(median "${cpu[$mode marlune]}")
  p=$(median "${cpu[$mode inplace]}")
  c=$(median "${cpu[$mode cp]}")
  l=$(median "${cpu[$mode loop]}")
  awk -v mode="$mode cpu" -v m="$m" -v p="$p" -v c="$c" -v l="$l" 'BEGIN {
      printf "%-13s %9.4f %9.4f %9.4f %9.4f %9.3f %9.3f\n", mode, m, p, c, l, m / c, m / l }'
done
