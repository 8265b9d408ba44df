#!/usr/bin/env bash
# Builds the numeric core and both modules with ThreadSanitizer and runs the
# stress test of bulk workers against per-call calls from several Python
# threads (tests/test_bulk_threads.py), then the bulk equality tests; any
# report of a data race fails the run.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
started=$SECONDS

echo "== Python 3.12, ThreadSanitizer build"
zln_make_venv 3.12 "$ZLN_ROOT/.venv-tsan"
zln_install_module "$ZLN_ROOT/build/py3.12-tsan" \
    -C cmake.define.ZLN_SANITIZE_THREAD=ON
# The interpreter is not instrumented: the runtime is preloaded (with the C++
# runtime, for its exception interceptors), and the interpreter lock, a
# pthread mutex and condition variable, is seen through its interceptors.
tsan_runtime="$(${CXX:-g++} -print-file-name=libtsan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
# -s: a report ends the process at once (halt_on_error), and pytest would
# otherwise keep it in its captured output, never shown.
(cd "$ZLN_ROOT" && \
    LD_PRELOAD="$tsan_runtime" TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
    ZLN_SANITIZED=1 "$VENV_PY" -m pytest -q -s -p no:cacheprovider tests/test_bulk_threads.py tests/test_bulk.py)
echo "   ThreadSanitizer stage: $((SECONDS - started)) s"
