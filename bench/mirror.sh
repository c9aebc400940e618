#!/usr/bin/env bash
# copy -r --mirror against rsync -a and cp -a: 10,000 small files (containers,
# notes and empty files, in folders of 500) and 200 containers of 4 MiB, first run
# with and without --manifest, a rerun with nothing changed (with and without
# --manifest, whose unchanged copies' lines are carried over), a --checksum rerun
# beside rsync -a --checksum's, and verify (against its source, beside diff -rq, and
# against the manifest, beside sha256sum -c of the same manifest); then the
# --checksum rerun and verify on an archive of both kinds (5,000 small files and 7
# recordings of 234 MiB, 1.6 GiB). The best of ROUNDS runs each; every copy is
# removed before the next; the commands compared with each other run in turn
# (A, B, A, B ...), so that a machine shared with other work loads both alike, and
# show their best processor time too, which such work disturbs less; the first
# runs print their ratios, and the system calls a file where strace is there. It
# prints figures; it is not a test.
#
#   bench/mirror.sh
#
# Settings (environment): ROUNDS (3), BUILD (build), DATA (/dev/shm/marlune-mirror),
# OTHER (another marlune, e.g. the main branch's: its first runs and reruns, with and
# without --delete, measured in the same run beside this build's), ARCHIVE (1; 0
# leaves the archive out: it takes 5 GiB of DATA).
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

if [ "${ARCHIVE:-1}" = 1 ]; then  # the small files' mix, and long recordings in chunks of 4 KiB
  python3 - "$data" <<'PY'
import os, random, struct, sys
top = os.path.join(sys.argv[1], "archive")
random.seed(31)
def container(chunks, payload):
    header = bytearray(82)
    header[0:4] = b"KVRB"
    struct.pack_into("<I", header, 20, 82)
    one = random.randbytes(payload)
    return bytes(header) + b"".join(struct.pack("<BBHI", i & 255, 0x5A, payload, 0) + one for i in range(chunks))
for i in range(5000):
    folder = os.path.join(top, "takes", "f%02d" % (i // 500))
    os.makedirs(folder, exist_ok=True)
    kind = i % 10
    data = container(1 + i % 3, 330) if kind < 7 else b"" if kind == 7 else b"notes %d\n" % i * 20
    with open(os.path.join(folder, "%05d.%s" % (i, "snd" if kind < 7 else "txt")), "wb") as f:
        f.write(data)
os.makedirs(os.path.join(top, "recordings"))
long = container(234 * 1024 * 1024 // 4104, 4096)
for i in range(7):
    with open(os.path.join(top, "recordings", "long%d.snd" % i), "wb") as f:
        f.write(long[:90] + random.randbytes(8) + long[98:])
PY
fi

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

in_turn() {  # FILES MIB NAME FUNCTION [NAME FUNCTION ...]: each function once a round, in turn; the best time
  # of each and its best processor time (user and system, all its processes), each against the first's
  local files=$1 mib=$2 i took cpu times
  shift 2
  local -a names=() functions=() bests=() cpus=()
  while [ $# -gt 0 ]; do names+=("$1"); functions+=("$2"); bests+=(""); cpus+=(""); shift 2; done
  for _ in $(seq "$rounds"); do
    for i in "${!functions[@]}"; do
      times=$( { TIMEFORMAT='%R %U %S'; time "${functions[$i]}" >/dev/null 2>&1 || true; } 2>&1 | tail -1)
      took=$(echo "$times" | cut -d' ' -f1)
      cpu=$(echo "$times" | awk '{ print $2 + $3 }')
      if [ -z "${bests[$i]}" ] || [ "$(echo "$took < ${bests[$i]}" | bc -l)" = 1 ]; then bests[$i]=$took; fi
      if [ -z "${cpus[$i]}" ] || [ "$(echo "$cpu < ${cpus[$i]}" | bc -l)" = 1 ]; then cpus[$i]=$cpu; fi
    done
  done
  for i in "${!functions[@]}"; do
    printf '  %-34s %7.2f s %9.0f files/s %8.1f MiB/s  %5.2f x the first   cpu %6.2f s, %5.2f x\n' \
      "${names[$i]}" "${bests[$i]}" "$(echo "$files / ${bests[$i]}" | bc -l)" "$(echo "$mib / ${bests[$i]}" | bc -l)" \
      "$(echo "${bests[$i]} / ${bests[0]}" | bc -l)" "${cpus[$i]}" "$(echo "${cpus[$i]} / ${cpus[0]}" | bc -l)"
  done
}

# The reruns and checks of TREE, its copies made first: by marlune (with a manifest) and by rsync.
checksum_rerun() { "$marlune" copy -r --mirror --checksum "$data/$tree" "$data/out"; }
checksum_rerun_manifest() { "$marlune" copy -r --mirror --checksum --manifest "$data/manifest" "$data/$tree" "$data/out"; }
rsync_checksum_rerun() { rsync -a --checksum "$data/$tree/" "$data/out.rsync/"; }
verify_source() { "$marlune" verify "$data/$tree" "$data/out"; }
diff_source() { diff -rq "$data/$tree" "$data/out"; }
verify_manifest() { "$marlune" verify --manifest "$data/manifest" "$data/out"; }
sha256sum_manifest() { (cd "$data/out" && sha256sum -c --quiet "$data/manifest"); }
checks() {  # FILES MIB
  rm -rf "$data/out" "$data/out.rsync" "$data/manifest"
  "$marlune" copy -r --mirror --manifest "$data/manifest" "$data/$tree" "$data/out" >/dev/null
  rsync -a "$data/$tree/" "$data/out.rsync/"
  in_turn "$1" "$2" "marlune rerun --checksum" checksum_rerun "rsync -a --checksum rerun" rsync_checksum_rerun \
    "marlune ... --checksum --manifest" checksum_rerun_manifest
  in_turn "$1" "$2" "marlune verify --manifest" verify_manifest "sha256sum -c" sha256sum_manifest
  in_turn "$1" "$2" "marlune verify SRC DST" verify_source "diff -rq SRC DST" diff_source
  rm -rf "$data/out" "$data/out.rsync" "$data/manifest"
}

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
  checks "$files" "$mib"
done

if [ "${ARCHIVE:-1}" = 1 ]; then
  tree=archive
  files=$(find "$data/$tree" -type f | wc -l)
  mib=$(du -sm --apparent-size "$data/$tree" | cut -f1)
  echo "$tree: $files files, $mib MiB"
  checks "$files" "$mib"
fi
