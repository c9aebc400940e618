#!/usr/bin/env bash
# Installs what is missing (as root), builds, and runs every test.
# Each part of the run is a script in scripts/test.d/, run in name order; all of
# them run even when one fails, and the command fails when any did.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then
  scripts/install-deps.sh || { echo "test: installing the dependencies failed" >&2; exit 1; }
else
  echo "test: not root, so nothing is installed; missing tools make their part fail" >&2
fi

export MARLUNE_BUILD_ROOT=${MARLUNE_BUILD_ROOT:-$PWD/build-test}
mkdir -p "$MARLUNE_BUILD_ROOT"
passed=0
failed=0
for part in scripts/test.d/*.sh; do
  name=$(basename "$part" .sh)
  echo "=== $name"
  start=$SECONDS
  if bash "$part"; then
    passed=$((passed + 1))
    echo "=== $name: passed in $((SECONDS - start)) s"
  else
    failed=$((failed + 1))
    echo "=== $name: FAILED after $((SECONDS - start)) s"
  fi
done
echo "parts: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
