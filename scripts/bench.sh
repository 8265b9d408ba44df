#!/usr/bin/env bash
# Builds the module and the C++ timing programs, then prints every benchmark
# table: the numeric core alone (C++), then each function from Python.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
zln_make_venv 3.12 "$ZLN_ROOT/.venv-3.12"
zln_install_module "$ZLN_ROOT/build/py3.12-testing" -C cmake.define.ZLN_BUILD_TESTING=ON
cmake -S "$ZLN_ROOT" -B "$ZLN_ROOT/build/bench" -DZLN_BUILD_MODULE=OFF -DZLN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$ZLN_ROOT/build/bench" -j 2 >/dev/null
for bench in bench_simhash_core bench_certified_stages bench_digest_core; do
    echo "== $bench"
    "$ZLN_ROOT/build/bench/$bench"
done
for script in "$ZLN_ROOT"/benchmarks/*.py; do
    echo "== $(basename "$script")"
    "$VENV_PY" "$script"
done
