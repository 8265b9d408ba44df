#!/usr/bin/env bash
# Builds the module with its test-only extension and runs the whole suite:
# the C++ harness over the numeric core, then pytest, for each Python version
# given (default: 3.12 and 3.13; "3.14d" names a debug build, python3.14d).
# On a debug build the reference-count leak check runs after the suite.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13)

echo "== Include rooms: no two rooms of src/lsh, src/module or src/bulk include each other; kernels/ closed"
# Any of the interpreters asked for runs it (a Debian root has no 3.12).
zln_find_python "${versions[0]}"
"$PYTHON" "$ZLN_ROOT/scripts/include_rooms.py" --quiet

echo "== C++ harness over the numeric core"
cmake -S "$ZLN_ROOT" -B "$ZLN_ROOT/build/cpp-tests" -G Ninja -DZLN_BUILD_MODULE=OFF -DZLN_BUILD_TESTING=ON >/dev/null 2>&1 \
    || cmake -S "$ZLN_ROOT" -B "$ZLN_ROOT/build/cpp-tests" -DZLN_BUILD_MODULE=OFF -DZLN_BUILD_TESTING=ON >/dev/null
cmake --build "$ZLN_ROOT/build/cpp-tests" -j 2 >/dev/null
"$ZLN_ROOT/build/cpp-tests/zln_core_tests" | tail -n 1

for version in "${versions[@]}"; do
    stage_started=$SECONDS
    echo "== Python $version"
    zln_make_venv "$version" "$ZLN_ROOT/.venv-$version"
    # The demo's job is pure Python over calls the other interpreters run
    # too; a debug build spends minutes installing and running it for
    # nothing more, so its tests skip there.
    [ "${version%d}" != "$version" ] || zln_install_demo_deps
    zln_install_module "$ZLN_ROOT/build/py$version-testing" -C cmake.define.ZLN_BUILD_TESTING=ON
    (cd "$ZLN_ROOT" && "$VENV_PY" -m pytest -q -p no:cacheprovider tests)
    if [ "$version" = 3.12 ]; then
        echo "== Python $version, leak check on a representative subset"
        # (a test raising one shared exception instance grows its traceback
        # chain on every raise, in pure Python too, so it is left out)
        (cd "$ZLN_ROOT" && "$VENV_PY" -m pytest -q -p no:cacheprovider --leak-check \
            tests/test_binding.py tests/test_classes.py tests/test_hostile.py \
            -k "not test_reported_length_only_sizes_the_reservation" 2>/dev/null | tail -n 3)
    fi
    if "$VENV_PY" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))'; then
        echo "== Python $version, reference-count leak check"
        # Every callable, succeeding and failing, repeated in rounds after a
        # warm-up; steady growth of sys.gettotalrefcount() fails.
        (cd "$ZLN_ROOT" && "$VENV_PY" -m pytest -q -p no:cacheprovider --leak-check --leak-check-calls 25 \
            tests/test_every_call.py | tail -n 3)
    fi
    echo "   Python $version stage: $((SECONDS - stage_started)) s"
done
