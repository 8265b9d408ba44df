#!/usr/bin/env bash
# Rebuilds and reinstalls the module and the test-only extension into
# .venv-3.12 (incremental), for working on the code between full test runs.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
VENV_PY="$ZLN_ROOT/.venv-3.12/bin/python"
[ -x "$VENV_PY" ] || zln_make_venv 3.12 "$ZLN_ROOT/.venv-3.12"
zln_install_module "$ZLN_ROOT/build/py3.12-testing" -C cmake.define.ZLN_BUILD_TESTING=ON
