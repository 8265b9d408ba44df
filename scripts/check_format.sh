#!/usr/bin/env bash
# CI stage: the C++ sources of the covered folders are formatted as
# .clang-format says, and the Python sources pass the lint rules of
# pyproject.toml ([tool.ruff]). Fails listing every file that does not.
# Installs its own pinned tools: clang-format from Debian (apt-get, as root)
# and ruff in a virtual environment of its own (.venv-format).
#
# To format instead of checking: clang-format-14 -i FILE..., ruff check --fix.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"

# The folders each tool covers.
CXX_FOLDERS=(src/lsh src/module src/bulk tests/cpp tests/ext fuzz benchmarks)
PYTHON_FOLDERS=(tests benchmarks examples scripts src/stubs)

CLANG_FORMAT=clang-format-14  # Debian's package of that name, major version 14
RUFF_VERSION=0.16.9

started=$SECONDS
echo "== Formatting and lint"

if ! command -v "$CLANG_FORMAT" >/dev/null 2>&1; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: $CLANG_FORMAT is missing; install it with 'apt-get install $CLANG_FORMAT' (as root)" >&2
        exit 1
    fi
    zln_quiet env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    zln_quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$CLANG_FORMAT" >/dev/null
fi

venv="$ZLN_ROOT/.venv-format"
ruff="$venv/bin/ruff"
if [ "$("$ruff" --version 2>/dev/null)" != "ruff $RUFF_VERSION" ]; then
    zln_find_python 3.12 || exit 1
    [ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
    zln_quiet "$venv/bin/python" -m pip install -q --disable-pip-version-check "ruff==$RUFF_VERSION"
fi

cd "$ZLN_ROOT"
status=0

patterns=()
for folder in "${CXX_FOLDERS[@]}"; do patterns+=("$folder/*.cpp" "$folder/*.hpp" "$folder/*.h"); done
mapfile -t cxx_files < <(git ls-files -- "${patterns[@]}")
# --dry-run -Werror reports each unformatted place as "FILE:LINE:COL: error: ..."
# and fails; a failure without such lines (a bad configuration) is shown whole.
if ! report="$("$CLANG_FORMAT" --dry-run -Werror "${cxx_files[@]}" 2>&1)"; then
    unformatted="$(grep -E '^[^ :]+:[0-9]+:[0-9]+: error' <<<"$report" | cut -d: -f1 | sort -u || true)"
    if [ -n "$unformatted" ]; then
        echo "   not formatted as .clang-format says ($CLANG_FORMAT -i FILE fixes it):"
        sed 's/^/     /' <<<"$unformatted"
    else
        echo "$report"
    fi
    status=1
fi

if ! "$ruff" check --quiet --no-cache "${PYTHON_FOLDERS[@]}"; then
    echo "   ruff check found the problems above (rules in pyproject.toml)"
    status=1
fi

echo "   ${#cxx_files[@]} C++ files ($CLANG_FORMAT), Python lint (ruff $RUFF_VERSION): $([ $status -eq 0 ] && echo clean || echo FAILED); $((SECONDS - started)) s"
exit $status
