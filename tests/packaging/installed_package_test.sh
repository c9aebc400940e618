#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds an outside program against
# it twice: through find_package(Marlune) and through pkg-config.
# Usage: installed_package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libmarlune.so.1' | head -n 1)")
[ -n "$libdir" ] || { echo "no libmarlune.so.1 installed"; exit 1; }
[ "$(readlink "$libdir/libmarlune.so.1")" = libmarlune.so.1.0.0 ] || { echo "libmarlune.so.1 does not point to 1.0.0"; exit 1; }

echo "--- the installed command, nothing telling it where the library is"
[ "$(env -u LD_LIBRARY_PATH "$work/prefix/bin/marlune" --version)" = "marlune 1.0.0" ] ||
  { echo "the command installed in $work/prefix does not start"; exit 1; }

echo "--- find_package(Marlune 1.0)"
cmake -S "$source_dir/tests/packaging/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer" "$work/a.snd" "$work/a.kv"

echo "--- pkg-config marlune"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion marlune)" = 1.0.0 ] || { echo "pkg-config reports another version"; exit 1; }
# shellcheck disable=SC2046
cc -o "$work/pc-consumer" "$source_dir/tests/packaging/consumer/consumer.c" $(pkg-config --cflags --libs marlune)
# Outside /usr, marlune.pc gives the program its run path: it starts as built, as the README says.
env -u LD_LIBRARY_PATH "$work/pc-consumer" "$work/b.snd" "$work/b.kv" ||
  { echo "a program built with pkg-config against $work/prefix does not start without LD_LIBRARY_PATH"; exit 1; }
