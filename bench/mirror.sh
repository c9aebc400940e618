#!/usr/bin/env bash
# copy -r --mirror against rsync -a and cp -a: 10,000 small files (containers,
# notes and empty files, in folders of 500) and 200 containers of 4 MiB, first run
# with and without --manifest, a rerun with nothing changed (with and without
# --manifest, whose unchanged copies' lines are carried over), and verify (against
# its source, and against the manifest) beside sha256sum -c of the same manifest.
# The best of ROUNDS runs each (the first runs in turns, round by round, with their
# ratios, and the system calls a file where strace is there); every copy is removed
# before the next. It prints figures; it is not a test.
#
#   bench/mirror.sh
#
# Settings (environment): ROUNDS (3), BUILD (build), DATA (/dev/shm/marlune-mirror),
# OTHER (another marlune, e.g. the main branch's: its first runs and reruns, with and
# without --delete, measured in the same run beside this build's).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-3}
build=${BUILD:-build}
data=${DATA:-/dev/shm/marlune-mirror}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune_cli >/dev/null
marlune=$(cd "$build/cli" && pwd)/marlune
rm -rf "$data"
trap 'rm -rf "$data"' EXIT
mkdir -p "$data"

python3 - "$data" <<'PY'
import os, random, struct, sys
top = sys.argv[1]
random.seed(29)
def container(chunks):
    header = bytearray(82)
    header[0:4] = b"KVRB"
    struct.pack_into("<I", header, 20, 82)
    body = b"".join(struct.pack("<BBHI", i & 255, 0x5A, 330, 0) + random.randbytes(330) for i in range(chunks))
    return bytes(header) + body
small = os.path.join(top, "small")
for i in range(10000):
    folder = os.path.join(small, "f%02d" % (i // 500))
    os.makedirs(folder, exist_ok=True)
    kind = i % 10
    data = container(1 + i % 3) if kind < 7 else b"" if kind == 7 else b"notes %d\n" % i * 20
    with open(os.path.join(folder, "%05d.%s" % (i, "snd" if kind < 7 else "txt")), "wb") as f:
        f.write(data)
large = os.path.join(top, "large")
os.makedirs(large)
one = container(4 * 1024 * 1024 // 338)
for i in range(200):
    with open(os.path.join(large, "%03d.snd" % i), "wb") as f:
        f.write(one[:82 + 8] + random.randbytes(8) + one[98:])
PY

seconds() {  # COMMAND...: the best of the rounds, in seconds; the copy at $data/out is removed before each
  local best="" start end took
  for _ in $(seq "$rounds"); do
    rm -rf "$data/out" "$data/manifest"
    sync
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    took=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$took < $best" | bc -l)" = 1 ]; then best=$took; fi
  done
  echo "$best"
}

once() {  # COMMAND...: one run's seconds, the copy at $data/out removed before
  local start end
  rm -rf "$data/out" "$data/manifest"
  sync
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

best() {  # COMMAND...: the best of the rounds over what is there
  local best="" start end took
  for _ in $(seq "$rounds"); do
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    took=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$took < $best" | bc -l)" = 1 ]; then best=$took; fi
  done
  echo "$best"
}

rerun() {  # COMMAND...: the best rerun over a copy made once first
  rm -rf "$data/out"
  "$@" >/dev/null 2>&1 || true
  best "$@"
}

other=${OTHER:-}

report() {  # NAME FILES MIB SECONDS
  printf '  %-34s %7.2f s %9.0f files/s %8.1f MiB/s\n' "$1" "$4" "$(echo "$2 / $4" | bc -l)" "$(echo "$3 / $4" | bc -l)"
}

for tree in small large; do
  files=$(find "$data/$tree" -type f | wc -l)
  mib=$(du -sm --apparent-size "$data/$tree" | cut -f1)
  echo "$tree: $files files, $mib MiB"
  # The first runs in turns, round by round, so that a busy moment weighs on each alike.
  declare -A first=()
  for _ in $(seq "$rounds"); do
    for row in mirror manifest rsync cp; do
      case $row in
        mirror) took=$(once "$marlune" copy -r --mirror "$data/$tree" "$data/out") ;;
        manifest) took=$(once "$marlune" copy -r --mirror --manifest "$data/manifest" "$data/$tree" "$data/out") ;;
        rsync) took=$(once rsync -a "$data/$tree/" "$data/out/") ;;
        cp) took=$(once cp -a "$data/$tree" "$data/out") ;;
      esac
      if [ -z "${first[$row]:-}" ] || [ "$(echo "$took < ${first[$row]}" | bc -l)" = 1 ]; then first[$row]=$took; fi
    done
  done
  report "marlune copy -r --mirror" "$files" "$mib" "${first[mirror]}"
  report "marlune ... --manifest" "$files" "$mib" "${first[manifest]}"
  report "rsync -a" "$files" "$mib" "${first[rsync]}"
  report "cp -a" "$files" "$mib" "${first[cp]}"
  printf '  %-34s %7.2f (rsync -a) %6.2f (cp -a)\n' "marlune's time against" \
    "$(echo "${first[mirror]} / ${first[rsync]}" | bc -l)" "$(echo "${first[mirror]} / ${first[cp]}" | bc -l)"
  if command -v strace >/dev/null; then  # what each asks of the system for a file
    for row in marlune rsync cp; do
      rm -rf "$data/out"
      case $row in
        marlune) strace -f -c -o "$data/calls" "$marlune" copy -r --mirror "$data/$tree" "$data/out" >/dev/null 2>&1 ;;
        rsync) strace -f -c -o "$data/calls" rsync -a "$data/$tree/" "$data/out/" >/dev/null 2>&1 ;;
        cp) strace -f -c -o "$data/calls" cp -a "$data/$tree" "$data/out" >/dev/null 2>&1 ;;
      esac
      printf '  %-34s %7.1f system calls a file\n' "$row" \
        "$(echo "$(awk '$NF == "total" {print $4}' "$data/calls") / $files" | bc -l)"
    done
    rm -f "$data/calls"
  fi
  report "marlune rerun, nothing changed" "$files" "$mib" \
    "$(rerun "$marlune" copy -r --mirror "$data/$tree" "$data/out")"
  report "marlune rerun with --manifest" "$files" "$mib" \
    "$(rerun "$marlune" copy -r --mirror --manifest "$data/manifest" "$data/$tree" "$data/out")"
  report "rsync -a rerun, nothing changed" "$files" "$mib" "$(rerun rsync -a "$data/$tree/" "$data/out/")"
  report "marlune rerun with --delete" "$files" "$mib" \
    "$(rerun "$marlune" copy -r --mirror --delete "$data/$tree" "$data/out")"
  if [ -n "$other" ]; then
    report "OTHER copy -r --mirror" "$files" "$mib" "$(seconds "$other" copy -r --mirror "$data/$tree" "$data/out")"
    report "OTHER rerun, nothing changed" "$files" "$mib" "$(rerun "$other" copy -r --mirror "$data/$tree" "$data/out")"
    report "OTHER rerun with --delete" "$files" "$mib" \
      "$(rerun "$other" copy -r --mirror --delete "$data/$tree" "$data/out")"
  fi
  rm -rf "$data/out" "$data/manifest"
  "$marlune" copy -r --mirror --manifest "$data/manifest" "$data/$tree" "$data/out" >/dev/null
  report "marlune verify SRC DST" "$files" "$mib" "$(best "$marlune" verify "$data/$tree" "$data/out")"
  report "marlune verify --manifest" "$files" "$mib" \
    "$(best "$marlune" verify --manifest "$data/manifest" "$data/out")"
  report "sha256sum -c" "$files" "$mib" "$(best sh -c "cd '$data/out' && sha256sum -c --quiet '$data/manifest'")"
  rm -rf "$data/out" "$data/manifest"
done
