#!/usr/bin/env bash
# The Python package's figures (bench/python_bench.py): marlune.examine against
# `marlune info -r -j 1` on 10,000 small files, and marlune.dask.convert_tree on a
# LocalCluster of 2 workers against 1 on 200 files of 4 MiB. Prints figures; not a test.
#
#   bench/python.sh
#
# Settings (environment): BUILD (the Release build tree, build), DATA (the files,
# $BUILD/bench-python), and those of bench/python_bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target marlune marlune_cli >/dev/null
build=$(cd "$build" && pwd)
export MARLUNE_LIBRARY=$build/src/libmarlune.so.1 MARLUNE_COMMAND=$build/cli/marlune
export DATA=${DATA:-$build/bench-python} PYTHONPATH=$PWD/python LC_ALL=C.UTF-8
exec /usr/bin/python3 bench/python_bench.py
