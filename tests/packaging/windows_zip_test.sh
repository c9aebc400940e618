#!/usr/bin/env bash
# Checks the Windows release archive: what it holds, that its DLLs are the ones
# built and tested, and that programs use them as Windows hosts do: the 64-bit
# DLL loaded at run time under wine64, the 32-bit one through the MinGW import
# library under 32-bit Wine.
# Usage: windows_zip_test.sh ARCHIVE.zip X86_BUILD X64_BUILD SOURCE_DIR
set -euo pipefail
zip=$1
x86_build=$2
x64_build=$3
source_dir=$4
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

[ "$(basename "$zip")" = Marlune-1.0.0-windows.zip ] || fail "archive is named $(basename "$zip")"
unzip -q "$zip" -d "$work/zip"
(cd "$work/zip" && find . -type f | sed 's|^\./||' | sort) > "$work/contents"
cat > "$work/expected" <<'LIST'
LICENSE
LINKING.txt
Marlune.def
include/marlune.h
x64/Marlune.def
x64/Marlune.dll
x64/Marlune.dll.a
x64/marlune.exe
x86/Marlune.dll
x86/Marlune.dll.a
x86/marlune.exe
LIST
diff -u "$work/expected" "$work/contents" || fail "the archive holds other files"
cmp "$work/zip/x86/Marlune.dll" "$x86_build/src/Marlune.dll" || fail "x86/Marlune.dll is not the DLL built"
cmp "$work/zip/x64/Marlune.dll" "$x64_build/src/Marlune.dll" || fail "x64/Marlune.dll is not the DLL built"
cmp "$work/zip/include/marlune.h" "$source_dir/include/marlune.h" || fail "include/marlune.h differs"
cmp "$work/zip/LICENSE" "$source_dir/LICENSE" || fail "LICENSE differs"
file "$work/zip/x86/Marlune.dll" | grep -q "PE32 executable (DLL).*Intel 80386" || fail "x86 DLL is no i386 DLL"
file "$work/zip/x64/Marlune.dll" | grep -q "PE32+ executable (DLL).*x86-64" || fail "x64 DLL is no x86-64 DLL"
for arch in x86 x64; do
  objdump=$([ $arch = x86 ] && echo i686 || echo x86_64)-w64-mingw32-objdump
  exports=$($objdump -p "$work/zip/$arch/Marlune.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -o '\[ *[0-9]*\] [A-Za-z_]*' | tr -s ' ' | sort)
  # The library's one list of exports: ordinal N is entry N-1 of the name pointer table.
  expected=$(awk '/^[A-Za-z_]/ { printf "[ %d] %s\n", $2 - 1, $1 }' "$source_dir/src/boundary/exports.txt" | sort)
  [ "$exports" = "$expected" ] || fail "$arch exports: $exports"
done
echo "contents: the eleven expected files; the DLLs are the ones built"

source "$source_dir/scripts/lib/wine.sh"
headers=(-I "$work/zip/include")
consumer=$source_dir/tests/packaging/consumer

echo "--- x64/Marlune.dll loaded at run time under wine64"
mkdir "$work/x64" && cp "$work/zip/x64/Marlune.dll" "$work/x64/"
x86_64-w64-mingw32-gcc -O2 -o "$work/x64/load_consumer.exe" "$consumer/load_consumer.c"
(
  start_wine /usr/lib/wine/wine64 win64
  cd "$work/x64" && /usr/lib/wine/wine64 load_consumer.exe Marlune.dll
)

echo "--- x86/Marlune.dll linked through its MinGW import library under 32-bit Wine"
register_qemu_i386
mkdir "$work/x86" && cp "$work/zip/x86/Marlune.dll" "$work/x86/"
i686-w64-mingw32-gcc -O2 "${headers[@]}" -o "$work/x86/mingw_consumer.exe" "$consumer/consumer.c" \
  -L "$work/zip/x86" -lMarlune
i686-w64-mingw32-objdump -p "$work/x86/mingw_consumer.exe" | grep -A4 'DLL Name: Marlune.dll' | grep -q ' KVRBinfo$' \
  || fail "the import library does not import KVRBinfo by its plain name"
(
  start_wine /usr/lib/wine/wine win32
  cd "$work/x86"
  /usr/lib/wine/wine mingw_consumer.exe a.snd a.kv
)
