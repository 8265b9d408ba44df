#!/usr/bin/env bash
# Builds the module and the C++ harness with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the whole suite against them.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"

echo "== C++ harness, sanitized"
cmake -S "$ZLN_ROOT" -B "$ZLN_ROOT/build/cpp-tests-asan" -DZLN_BUILD_MODULE=OFF -DZLN_BUILD_TESTING=ON \
    -DZLN_SANITIZE=ON >/dev/null
cmake --build "$ZLN_ROOT/build/cpp-tests-asan" -j 2 >/dev/null
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$ZLN_ROOT/build/cpp-tests-asan/zln_core_tests" | tail -n 1

echo "== Python 3.12, sanitized module"
zln_make_venv 3.12 "$ZLN_ROOT/.venv-asan"
zln_install_module "$ZLN_ROOT/build/py3.12-asan" -C cmake.define.ZLN_BUILD_TESTING=ON -C cmake.define.ZLN_SANITIZE=ON
# The interpreter itself is not linked with the C++ runtime; preloading it
# beside the sanitizer lets the sanitizer's exception interceptors find it.
asan_runtime="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
(cd "$ZLN_ROOT" && \
    LD_PRELOAD="$asan_runtime" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ZLN_SANITIZED=1 "$VENV_PY" -m pytest -q -p no:cacheprovider tests)
