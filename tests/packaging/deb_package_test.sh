#!/usr/bin/env bash
# Checks the Debian package: its control data, that it holds what a user needs
# and nothing of the build, and that the command and library in it work.
# In CI (as root) it is installed for real with apt-get and removed again;
# elsewhere it is unpacked into a temporary folder.
# Usage: deb_package_test.sh PACKAGE.deb SOURCE_DIR
set -euo pipefail
deb=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

[ "$(basename "$deb")" = marlune_1.0.0_amd64.deb ] || fail "package file is named $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package)" = marlune ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = 1.0.0 ] || fail "version"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependency on libc6"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | sort > "$work/contents"
for wanted in /usr/bin/marlune /usr/include/marlune.h \
    /usr/lib/x86_64-linux-gnu/libmarlune.so.1.0.0 /usr/lib/x86_64-linux-gnu/libmarlune.so.1 \
    /usr/lib/x86_64-linux-gnu/libmarlune.so /usr/lib/x86_64-linux-gnu/pkgconfig/marlune.pc \
    /usr/lib/x86_64-linux-gnu/cmake/Marlune/MarluneConfig.cmake \
    /usr/lib/x86_64-linux-gnu/cmake/Marlune/MarluneConfigVersion.cmake \
    /usr/lib/x86_64-linux-gnu/cmake/Marlune/MarluneTargets.cmake \
    /usr/share/man/man1/marlune.1 /usr/share/bash-completion/completions/marlune \
    /usr/share/doc/marlune/copyright /usr/share/doc/marlune/changelog.gz \
    /usr/share/doc/marlune/README.md /usr/share/doc/marlune/cli.md /usr/share/doc/marlune/c-api.md \
    /usr/share/doc/marlune/python.md; do
  grep -qx "$wanted" "$work/contents" || fail "$wanted is not in the package"
done
if grep -E 'test|gtest|/src/|\.a$' "$work/contents"; then fail "the package holds build or test files"; fi
echo "contents: $(grep -vc '/$' "$work/contents") files, all expected ones present"

if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
  apt-get install -y "$(realpath "$deb")" >/dev/null
  trap 'apt-get remove -y marlune >/dev/null 2>&1; rm -rf "$work"' EXIT
  prefix=/usr
  run() { "$@"; }
  echo "installed with apt-get"
else
  dpkg-deb -x "$deb" "$work/root"
  prefix=$work/root/usr
  run() { LD_LIBRARY_PATH="$prefix/lib/x86_64-linux-gnu" "$@"; }
  echo "unpacked (not root in CI: not installed)"
fi

[ "$(run "$prefix/bin/marlune" --version)" = "marlune 1.0.0" ] || fail "marlune --version"
# In /usr the loader finds the library by itself: programs built with pkg-config get no run path.
grep -q 'rpath' "$prefix/lib/x86_64-linux-gnu/pkgconfig/marlune.pc" && fail "marlune.pc of /usr gives a run path"
# Its run path leads from the command to the library beside it, never out of the package.
runpath=$(readelf -d "$prefix/bin/marlune" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN/../lib/x86_64-linux-gnu' ] || fail "the command's run path is '$runpath'"
[ "$(env -u LD_LIBRARY_PATH "$prefix/bin/marlune" --version)" = "marlune 1.0.0" ] || fail "marlune --version alone"
# The man page is the help's, and the changelog names this version.
command -v man >/dev/null && { LC_ALL=C.UTF-8 MANWIDTH=100 man -l "$prefix/share/man/man1/marlune.1" 2>/dev/null | grep -q 'marlune convert \[OPTION\]' \
  || fail "man marlune shows no synopsis"; }
# The licence: the terms of LICENSE, in Debian's machine-readable form.
grep -qx 'License: Expat' "$prefix/share/doc/marlune/copyright" || fail "copyright names no licence"
[ "$(sed -n '/^Permission/,$p' "$source_dir/LICENSE")" = "$(sed -n '/^ Permission/,$p' "$prefix/share/doc/marlune/copyright" | sed 's/^ //; s/^\.$//')" ] ||
  fail "the copyright file's terms are not those of LICENSE"
gzip -dc "$prefix/share/doc/marlune/changelog.gz" | head -1 | grep -q '^marlune (1.0.0)' || fail "changelog"
bash -c 'source "$1" && complete -p marlune' bash "$prefix/share/bash-completion/completions/marlune" >/dev/null \
  || fail "the bash completion does not load"
cmake -S "$source_dir/tests/packaging/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
run "$work/consumer/consumer" "$work/c.snd" "$work/c.kv"
