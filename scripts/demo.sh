#!/usr/bin/env bash
# Builds the module into .venv-3.12 and runs the main job, examples/demo.py.
# The build is skipped while the module installed there is the one this
# script built from the current sources (a stamp of their hash says so).
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
VENV="$ZLN_ROOT/.venv-3.12"
zln_find_python 3.12 || exit 1
stamp="demo $(zln_sources_hash) $PYTHON"
if [ -x "$VENV/bin/python" ] && [ "$(cat "$VENV/$ZLN_STAMP" 2>/dev/null)" = "$stamp" ]; then
    VENV_PY="$VENV/bin/python"
else
    # Progress goes to stderr: stdout is the job's report.
    started=$SECONDS
    echo "demo.sh: setting up .venv-3.12 (pip, test tools, requirements-demo.txt; about 1.5 minutes the first time) ..." >&2
    zln_make_venv 3.12 "$VENV"
    zln_install_demo_deps
    echo "demo.sh: building the module into .venv-3.12 (about 3 minutes on 2 cores the first time) ..." >&2
    zln_install_module "$ZLN_ROOT/build/py3.12"
    echo "$stamp" >"$VENV/$ZLN_STAMP"
    echo "demo.sh: ready after $((SECONDS - started)) s; later runs skip this while the sources are unchanged" >&2
fi
exec "$VENV_PY" "$ZLN_ROOT/examples/demo.py" "$@"
