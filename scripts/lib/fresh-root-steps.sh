#!/usr/bin/env bash
# Run by scripts/test.d/60-fresh-debian.sh inside a brand-new Debian 12 root, as root,
# from the copy of the repository there. Every step is timed; the first failure ends the run.
#   first: the README's apt-get line, then its first command (build and copy the sample); ctest in
#          that folder, the command installed into two prefixes, and the README's tests with the
#          packages it names for them
#   full:  install-deps.sh (twice: the second run must change nothing), then every tool once
set -euo pipefail
cd "$(dirname "$0")/../.."
export MARLUNE_BUILD_ROOT=/root/build
mkdir -p "$MARLUNE_BUILD_ROOT"

step() {
  local name=$1 start=$SECONDS
  shift
  echo "==> $name"
  # Not under "if": that would switch off set -e inside the step.
  set +e
  (set -e; "$@")
  local status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    echo "==> $name: FAILED after $((SECONDS - start)) s"
    exit 1
  fi
  echo "==> $name: ok in $((SECONDS - start)) s"
}

# The README's first command (its first shell block other than the apt-get line before it).
readme_first_command() {
  awk '/^```sh$/ { on = 1; block = ""; next }
       on && /^```$/ { if (block !~ /^apt-get /) { printf "%s", block; exit } on = 0; next }
       on { block = block $0 "\n" }' README.md
}
readme_apt_line() { grep -m 1 -E '^apt-get update && apt-get install ' README.md; }

first_packages() {
  local line
  line=$(readme_apt_line)
  [ -n "$line" ] || { echo "no apt-get line in README.md" >&2; return 1; }
  echo "+ $line"
  DEBIAN_FRONTEND=noninteractive bash -c "$line"
}

# It builds, and the copy it makes has every length field set to 330.
first_command() {
  local out copy
  out=$(bash -c "$(readme_first_command)")
  echo "$out"
  copy=$(sed -n 's/^copied to //p' <<<"$out")
  [ -n "$copy" ] && build/cli/marlune info "$copy" | grep -q 'length fields  all 330'
}

# ctest in the first command's folder, built without tests, fails and says how to build them.
no_tests_said() {
  local out status=0
  out=$(ctest --test-dir build 2>&1) || status=$?
  echo "$out"
  [ "$status" -ne 0 ] && grep -q -- '-DMARLUNE_BUILD_TESTS=ON' <<<"$out"
}

# Installed, the command starts as it is: in /usr/local with no ldconfig since, and in any prefix.
installed_command_runs() {
  if ldconfig -p | grep -q libmarlune; then echo "ldconfig knows libmarlune already" >&2; return 1; fi
  cmake --install build --prefix /usr/local >/dev/null
  [ "$(marlune --version)" = "marlune 1.0.0" ]
  cmake --install build --prefix /opt/marlune >/dev/null
  [ "$(/opt/marlune/bin/marlune --version)" = "marlune 1.0.0" ]
  rm -rf /opt/marlune
}

# The README's words for the suites, taken from it: the packages they need, and the command.
readme_span() { tr '\n' ' ' < README.md | grep -o "\`$1[^\`]*\`" | head -n 1 | tr -d '\`'; }

# With only what the README names, every suite runs, and none is skipped for want of a package.
readme_tests() {
  local packages command out
  packages=$(readme_span 'apt-get install -y --no-install-recommends libgtest-dev')
  command=$(readme_span 'cmake -S . -B build -DMARLUNE_BUILD_TESTS=ON')
  [ -n "$packages" ] && [ -n "$command" ] || { echo "the README names no test packages or command" >&2; return 1; }
  echo "+ $packages"
  DEBIAN_FRONTEND=noninteractive bash -c "$packages" >/dev/null
  echo "+ $command"
  if ! out=$(bash -c "$command" 2>&1); then
    echo "$out" | tail -n 60
    # What the failed tests said, then the failed suites once more: a fault fails again; a
    # test that only a machine loaded by the other roots upsets is told as such, and passes.
    grep -E -A30 '^(FAIL|ERROR):' build/Testing/Temporary/LastTest.log | head -n 150 || true
    local again
    if ! again=$(ctest --test-dir build --rerun-failed --output-on-failure 2>&1); then
      echo "$again" | tail -n 150
      return 1
    fi
    echo "$again" | grep -E 'tests passed|Test +#' || true
    echo "FLAKY: the suites above failed once and passed when run again"
  fi
  echo "$out" | grep -E 'tests passed|Test +#' || true
  if grep -q 'did not run' <<<"$out"; then echo "$out" | sed -n '/did not run/,$p' >&2; return 1; fi
}

state() {
  dpkg-query -W -f '${Package}:${Architecture} ${Version} ${Status}\n'
  cat /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null
  dpkg --print-foreign-architectures
}

install_again() {
  local before after
  before=$(state)
  scripts/install-deps.sh
  after=$(state)
  if [ "$before" != "$after" ]; then
    echo "the second run changed the system:" >&2
    diff <(echo "$before") <(echo "$after") >&2 || true
    return 1
  fi
}

# Only qemu's packages may come from backports; everything else stays at bookworm's versions.
only_qemu_from_backports() {
  local moved
  moved=$(dpkg-query -W -f '${Package}:${Architecture} ${Version}\n' | grep '~bpo' | grep -v '^qemu-' || true)
  dpkg-query -W -f '${Version}\n' qemu-user-static | grep -q '^1:10\.'
  if [ -n "$moved" ]; then
    echo "taken from backports besides qemu:" >&2
    echo "$moved" >&2
    return 1
  fi
}

# Every command and library the other test parts and the benchmark use.
tools_present() {
  local missing= c
  for c in make g++ cmake ninja pkg-config file unzip dpkg-shlibdeps python3 /usr/bin/time clang++ \
    i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump \
    wine wineserver /usr/lib/wine/wine /usr/lib/wine/wine64 qemu-i386 debootstrap git mcs mono fpc node npm chromium; do
    command -v "$c" >/dev/null || missing="$missing $c"
  done
  printf '%s\n' '#include <gmock/gmock.h>' '#include <gtest/gtest.h>' '#include <benchmark/benchmark.h>' |
    g++ -fsyntax-only -x c++ - || missing="$missing gtest/gmock/benchmark-headers"
  [ -d /usr/src/googletest/googletest ] || missing="$missing googletest-sources"
  /usr/bin/python3 -c 'import venv, ensurepip, setuptools, wheel, build, pytest, dask, distributed' ||
    missing="$missing python3-packages"
  if [ -n "$missing" ]; then
    echo "missing:$missing" >&2
    return 1
  fi
}

# The sanitizer and fuzzer runtimes the clang parts link against.
clang_runtimes() {
  local dir
  dir=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' > "$dir/f.cpp"
  clang++ -fsanitize=fuzzer,address,undefined -o "$dir/f" "$dir/f.cpp"
  "$dir/f" -runs=100 2>&1 | tail -n 1
  rm -rf "$dir"
}

# windows ARCH LOADER WINEARCH: the DLL cross-built, and one test program run under Wine.
windows() {
  bash -c '
    set -euo pipefail
    source scripts/lib/wine.sh
    register_qemu_i386
    start_wine "$2" "$3"
    build="$MARLUNE_BUILD_ROOT/windows-$1"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$1-w64-mingw32.cmake"
    cmake --build "$build" -j "$(nproc)" --target marlune_host_tests
    ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 600 -R "^(marlune_host_tests|marlune_dll_.*)\$"
  ' windows "$@"
}

case ${1:-} in
  first)
    step "README apt-get line" first_packages
    step "README first command" first_command
    step "ctest without tests says how to build them" no_tests_said
    step "the installed command starts, in /usr/local and in another prefix" installed_command_runs
    step "README's test packages and command: every suite runs" readme_tests
    ;;
  full)
    step "install-deps.sh" scripts/install-deps.sh
    step "install-deps.sh again, changing nothing" install_again
    step "only qemu from backports" only_qemu_from_backports
    step "every tool the test parts use" tools_present
    step "native build and ctest" bash scripts/test.d/10-native.sh
    step "the Python package: pip install in a venv, its tests (Dask too), the wheel" bash scripts/test.d/70-python.sh
    step "clang sanitizer and fuzzer runtimes" clang_runtimes
    step "Marlune.dll for i686, a test under 32-bit Wine" windows i686 /usr/lib/wine/wine win32
    step "x86_64 build, a test under wine64" windows x86_64 /usr/lib/wine/wine64 win64
    ;;
  *)
    echo "usage: $0 first|full" >&2
    exit 2
    ;;
esac
