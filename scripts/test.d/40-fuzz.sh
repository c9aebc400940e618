#!/usr/bin/env bash
# The copy stages, and the step decoder, fuzzed for a bounded time each (MARLUNE_FUZZ_SECONDS, 60 by default)
# with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer. Any crash,
# leak, sanitizer report or disagreement with the model fails the part; the input
# that caused it is kept in the build tree and named in the output.
set -euo pipefail
build="$MARLUNE_BUILD_ROOT/fuzz"
seconds=${MARLUNE_FUZZ_SECONDS:-60}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DMARLUNE_BUILD_TESTS=OFF -DMARLUNE_BUILD_FUZZERS=ON
cmake --build "$build" -j "$(nproc)" --target copy_stages_fuzzer step_decode_fuzzer make_seeds

# The seeds are made afresh; what the fuzzer found on earlier runs here is kept.
seeds="$build/seeds"
corpus="$build/corpus"
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$build/findings"
"$build/fuzz/make_seeds" "$seeds"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
log="$build/fuzz.log"
status=0
"$build/fuzz/copy_stages_fuzzer" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$build/findings/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
tail -n 25 "$log"
grep -E '^Done [0-9]+ runs' "$log" | sed 's/^/fuzz: /' || true
if [ "$status" -ne 0 ]; then
  grep -m 3 -E 'disagreement with the model|ERROR: |SUMMARY: ' "$log" >&2 || true
  echo "fuzz: FAILED (exit $status); the input is in $build/findings/" >&2
  exit 1
fi

# A step's bytes as a worker decodes them; its corpus grows from nothing (the fuzzer finds the magic).
steps="$build/step-corpus"
mkdir -p "$steps"
log="$build/step-fuzz.log"
"$build/fuzz/step_decode_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$build/findings/" "$steps" >"$log" 2>&1 || status=$?
grep -E '^Done [0-9]+ runs' "$log" | sed 's/^/fuzz (steps): /' || true
if [ "$status" -ne 0 ]; then
  grep -m 3 -E 'ERROR: |SUMMARY: ' "$log" >&2 || true
  echo "fuzz (steps): FAILED (exit $status); the input is in $build/findings/" >&2
  exit 1
fi
