#!/usr/bin/env bash
# Makes Free Pascal compile for 32-bit and 64-bit Windows: Debian's fpc has only
# the Linux units, so the Windows units of the system RTL (all that the host
# programs use) are compiled from Debian's fpc-source, and for win32 the i386
# compiler too. Usage: fpc_windows.sh OUT; then OUT/ppcross386 and
# OUT/units/{i386-win32,x86_64-win64}. Prints why and exits 2 when it cannot.
set -euo pipefail
out=$1
version=$(fpc -iV)
source_dir=/usr/share/fpcsrc/$version
messages=/usr/lib/x86_64-linux-gnu/fpc/$version/msg/errore.msg
if [ ! -d "$source_dir/rtl" ] || [ ! -d "$source_dir/compiler" ] || [ ! -f "$messages" ]; then
  echo "fpc_windows: no Free Pascal $version source in $source_dir (package fpc-source-$version)" >&2
  exit 2
fi
if [ -x "$out/ppcross386" ] && [ -f "$out/units/i386-win32/system.ppu" ] && [ -f "$out/units/x86_64-win64/system.ppu" ]; then
  exit 0
fi
rm -rf "$out" && mkdir -p "$out/src" "$out/units/i386-win32" "$out/units/x86_64-win64"
cp -r "$source_dir/rtl" "$source_dir/compiler" "$out/src/"

# The compiler's message texts are generated; Debian ships only their source.
(cd "$out/src/compiler" &&
  fpc -FE"$out" utils/msg2inc.pp > "$out/msg2inc.log" &&
  "$out/msg2inc" "$messages" msg msg >> "$out/msg2inc.log" &&
  ppcx64 -O2 -di386 -Fusystems -Fux86 -Fui386 -Fii386 -Fix86 -Fiinc -Fuinc -FU"$out/src" -o"$out/ppcross386" pp.pas \
    > "$out/ppcross386.log") || { echo "fpc_windows: building ppcross386 failed, see $out/ppcross386.log" >&2; exit 1; }

rtl_units() {  # COMPILER TARGET CPU SYSINIT
  local units="$out/units/$3-$1" flags
  flags=(-T"$1" -n -O2 -FE"$units" -Fu"$units" -Fi../inc -Fi../"$3" -Fi../x86 -Fi../win -Fi../objpas
         -Fi../"$1" -Fu../inc -Fu../win -Fu../objpas)
  (cd "$out/src/rtl/$1" &&
    "$2" "${flags[@]}" -Us -Sg system.pp &&
    "$2" "${flags[@]}" ../objpas/objpas.pp &&
    "$2" "${flags[@]}" "$4" &&
    "$2" "${flags[@]}" ../inc/fpintres.pp) > "$out/rtl-$1.log" 2>&1 \
    || { echo "fpc_windows: the $1 units failed, see $out/rtl-$1.log" >&2; exit 1; }
}
rtl_units win32 "$out/ppcross386" i386 sysinitpas.pp
rtl_units win64 ppcx64 x86_64 sysinit.pp
