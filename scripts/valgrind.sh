#!/usr/bin/env bash
# Runs test files (default: a representative subset) under valgrind memcheck
# against the ordinary build in .venv-3.12. Slow (about 50x): not part of CI;
# pass other test files to widen it.
#   scripts/valgrind.sh [pytest arguments...]
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
zln_make_venv 3.12 "$ZLN_ROOT/.venv-3.12"
zln_install_module "$ZLN_ROOT/build/py3.12-testing" -C cmake.define.ZLN_BUILD_TESTING=ON
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(tests/test_binding.py tests/test_classes.py tests/test_hostile.py tests/test_compare.py
                               tests/test_normalize.py tests/test_buffer_input.py tests/test_readme.py)
cd "$ZLN_ROOT"
# Memory errors only: the interpreter does not free everything at exit, so
# leaks are left to the leak-check option of the test suite and to ASan.
PYTHONMALLOC=malloc ZLN_SANITIZED=1 valgrind --tool=memcheck --error-exitcode=99 --leak-check=no \
    --num-callers=30 --suppressions="$ZLN_ROOT/tests/valgrind.supp" \
    "$VENV_PY" -m pytest -q -p no:cacheprovider -x "${args[@]}"
