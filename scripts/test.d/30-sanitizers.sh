#!/usr/bin/env bash
# The native tests built with AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer; the first report stops the run and fails the part.
set -euo pipefail
build="$MARLUNE_BUILD_ROOT/sanitizers"
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
# The figures the suites print: fault cases, calls under load and in the soak.
grep -hE '^(fault cases|double-fault cases|load:|soak:|descriptors)' "$build/Testing/Temporary/LastTest.log" || true
