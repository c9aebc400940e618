#!/usr/bin/env bash
# The Python package (python/): the library built, the package installed with pip into a
# fresh environment of Debian's Python (no package index), its tests run with pytest (the
# Dask ones on a LocalCluster of two worker processes, the README's quick start as printed);
# then the wheel that bundles the library, installed into another environment and tested
# again without MARLUNE_LIBRARY.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
root="${MARLUNE_BUILD_ROOT:-$PWD/build-test}/python"
build="$root/build"
python=/usr/bin/python3   # a brand-new Debian 12's only Python, and the one that sees Debian's packages
mkdir -p "$root"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMARLUNE_BUILD_TESTS=OFF \
  -DMARLUNE_PYTHON_WHEEL=ON -DMARLUNE_PYTHON="$python" > "$root/build.log"
nice cmake --build "$build" -j "$(nproc)" --target marlune marlune_cli python-wheel >> "$root/build.log" ||
  { tail -n 30 "$root/build.log"; exit 1; }

# pytest answers 5 when it ran no test: that is a failure here too.
run_pytest() {  # VENV NAME ENV...
  local venv=$1 name=$2 status=0
  shift 2
  env "$@" LC_ALL=C.UTF-8 MARLUNE_COMMAND="$build/cli/marlune" \
    "$venv/bin/python" -m pytest -p no:cacheprovider -q -rs \
    --junitxml="$root/$name.xml" -o junit_family=xunit2 \
    --rootdir "$root" "$repo/python/tests" || status=$?
  [ "$status" -ne 5 ] || echo "python: pytest ran no test ($name)"
  return "$status"
}

# From the source folder, the library named by MARLUNE_LIBRARY.
rm -rf "$root/venv" "$root/venv-wheel"
"$python" -m venv --system-site-packages "$root/venv"
# From a copy: setuptools builds in the folder it is given, and the checkout stays clean.
rm -rf "$root/python-src"
cp -r "$repo/python" "$root/python-src"
rm -rf "$root/python-src/build" "$root/python-src"/*.egg-info
(cd "$root" && "$root/venv/bin/pip" install -q --no-index --no-build-isolation "$root/python-src")
[ ! -e "$root/venv/lib/python3"*/site-packages/marlune/libmarlune.so.1 ]   # nothing bundled this way
(cd "$root" && run_pytest "$root/venv" source MARLUNE_LIBRARY="$build/src/libmarlune.so.1" MARLUNE_README_TEST=1)

# From the wheel, the library inside it.
"$python" -m venv --system-site-packages "$root/venv-wheel"
"$root/venv-wheel/bin/pip" install -q --no-index "$build"/python/dist/marlune-*.whl
(cd "$root" && unset MARLUNE_LIBRARY && run_pytest "$root/venv-wheel" wheel MARLUNE_EXPECT_BUNDLED=1)
