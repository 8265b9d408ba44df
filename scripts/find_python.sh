# Sourced by the other scripts: sets PYTHON to a working interpreter of the
# version in $1 (default 3.12), or stops with a clear message.
# Order: a pyenv-installed interpreter, then pythonX.Y on PATH if it runs.
zln_find_python() {
    local want="${1:-3.12}" candidate root
    if command -v pyenv >/dev/null 2>&1; then
        root="$(pyenv root 2>/dev/null)"
        for candidate in $(ls -d "$root"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -V -r); do
            if "$candidate" -c 'import sys' >/dev/null 2>&1; then PYTHON="$candidate"; return 0; fi
        done
    fi
    for candidate in "$HOME"/.pyenv/versions/"$want".*/bin/python"$want" /usr/local/bin/python"$want" /usr/bin/python"$want"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys' >/dev/null 2>&1; then PYTHON="$candidate"; return 0; fi
    done
    if command -v "python$want" >/dev/null 2>&1 && "python$want" -c 'import sys' >/dev/null 2>&1; then
        PYTHON="$(command -v "python$want")"; return 0
    fi
    echo "error: no working Python $want interpreter found (looked in pyenv versions and on PATH)." >&2
    echo "       Install Python $want (for example 'pyenv install $want') and run this again." >&2
    return 1
}

# Creates (once) the virtual environment $2 for interpreter version $1 and
# installs the build and test tools into it (ZLN_REQUIREMENTS names another
# requirements file than requirements-dev.txt). Sets VENV_PY.
zln_make_venv() {
    local version="$1" venv="$2"
    zln_find_python "$version" || exit 1
    if [ ! -x "$venv/bin/python" ]; then
        "$PYTHON" -m venv "$venv"
    fi
    VENV_PY="$venv/bin/python"
    # A debug interpreter shows every warning; pip leaves files to be closed
    # by the collector, which says nothing about this project.
    local -a pip=(env PYTHONWARNINGS=ignore::ResourceWarning "$VENV_PY" -m pip)
    zln_quiet "${pip[@]}" install -q --disable-pip-version-check --upgrade pip
    zln_quiet "${pip[@]}" install -q --disable-pip-version-check -r "${ZLN_REQUIREMENTS:-$ZLN_ROOT/requirements-dev.txt}"
}

# Installs what examples/demo.py needs beyond the test tools (pyarrow, Dask;
# requirements-demo.txt), from wheels only. Where an interpreter has no wheels
# for them yet it says so and goes on: the demo's tests then skip.
zln_install_demo_deps() {
    zln_quiet env PYTHONWARNINGS=ignore::ResourceWarning "$VENV_PY" -m pip install -q --disable-pip-version-check --only-binary=:all: \
        -r "$ZLN_ROOT/requirements-demo.txt" \
        || echo "note: requirements-demo.txt could not be installed for $("$VENV_PY" -V); the demo's tests will skip" >&2
}

# Runs a command, showing its output without pip's notes about this
# machine's missing local package folders; keeps its exit status.
zln_quiet() {
    local log status=0
    log="$(mktemp)"
    "$@" >"$log" 2>&1 || status=$?
    grep -v "^WARNING: Location 'file:" "$log" || true
    rm -f "$log"
    return "$status"
}

# Name of the file in a venv saying which build of the module demo.sh
# installed there; any other installation removes it.
ZLN_STAMP=.zln-demo-build

# SHA-256 over the names and contents of everything the module's build reads.
zln_sources_hash() {
    (cd "$ZLN_ROOT" && find src cmake CMakeLists.txt pyproject.toml -type f -print0 | LC_ALL=C sort -z \
        | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

# Builds and installs the module into the venv. Extra -C settings follow.
zln_install_module() {
    local build_dir="$1"; shift
    mkdir -p "$(dirname "$build_dir")"
    rm -f "$(dirname "$(dirname "$VENV_PY")")/$ZLN_STAMP"
    # One build at a time per build directory.
    local status=0 log="$build_dir.log"
    flock "$build_dir.lock" env PYTHONWARNINGS=ignore::ResourceWarning "$VENV_PY" -m pip install -q --disable-pip-version-check --no-build-isolation \
        -C build-dir="$build_dir" "$@" "$ZLN_ROOT" >"$log" 2>&1 || status=$?
    grep -v "^WARNING: Location 'file:" "$log" || true
    [ "$status" -eq 0 ] || { echo "error: building the module failed (see above)" >&2; exit 1; }
}
