#!/usr/bin/env bash
# Builds the module into .venv-3.12 and runs the main job, examples/demo.py.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
zln_make_venv 3.12 "$ZLN_ROOT/.venv-3.12"
zln_install_demo_deps
zln_install_module "$ZLN_ROOT/build/py3.12"
exec "$VENV_PY" "$ZLN_ROOT/examples/demo.py" "$@"
