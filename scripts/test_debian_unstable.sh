#!/usr/bin/env bash
# Runs the whole suite inside a Debian unstable root, on the interpreters
# packaged there that the pyenv versions on the host don't cover: python3.14,
# python3.15 and the debug build python3.14d (python3.14-dbg), whose run adds
# the reference-count leak check.
#
# The root is made with debootstrap (needs root) and kept outside the clone
# (default /var/cache/zarvik_lumetra_native/debian-unstable) so a second run
# takes seconds; it is made again when missing, unfinished or older than a
# week. A clean copy of the clone is made in it at every run.
#
# The only skip: when the package server doesn't answer a probe made before
# anything else, one "SKIPPED: package server unreachable" line is printed and
# the script ends successfully. Every other failure is a failure.
#
# Settings (for this script only): ZLN_UNSTABLE_CACHE (where the root lives),
# ZLN_DEBIAN_MIRROR (default: the host's Debian mirror, else deb.debian.org).
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ZLN_ROOT/scripts/unstable_root_lib.sh"

CACHE_DIR="${ZLN_UNSTABLE_CACHE:-/var/cache/zarvik_lumetra_native}"
ROOT="$CACHE_DIR/debian-unstable"
MAX_AGE_DAYS=7
SUITE=sid
INTERPRETERS=(3.14 3.15 3.14d)
PACKAGES=(python3.14 python3.14-dev python3.14-venv python3.14-dbg
          python3.15 python3.15-dev python3.15-venv
          g++ make cmake ninja-build libssl-dev pkg-config ca-certificates git)

MIRROR="${ZLN_DEBIAN_MIRROR:-$(host_debian_mirror)}"
export_host_apt_proxy

# The probe comes first: nothing has been changed on this machine yet. Only
# no answer at all is a skip; a server answering without the suite is an error.
if ! answer="$(curl -sS --max-time 30 -o /dev/null -w '%{http_code}' "$MIRROR/dists/$SUITE/InRelease" 2>/dev/null)"; then
    echo "SKIPPED: package server unreachable ($MIRROR)"
    exit 0
fi
if [ "$answer" != 200 ]; then
    echo "error: $MIRROR answered HTTP $answer for dists/$SUITE/InRelease" >&2
    exit 1
fi

[ "$(id -u)" -eq 0 ] || { echo "error: making and entering the root needs root (chroot, mount)" >&2; exit 1; }
mkdir -p "$CACHE_DIR"
# One run at a time per cache.
exec 9>"$CACHE_DIR/lock"
flock 9

MOUNTS=()
release_stale_mounts "$ROOT"  # left by a run killed before its trap could run
trap 'status=$?; undo_mounts || status=1
      [ "$status" -eq 0 ] || echo "error: the Debian unstable stage failed (exit $status)" >&2
      exit "$status"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$SECONDS
if root_is_fresh "$ROOT" "$MAX_AGE_DAYS"; then
    echo "== Debian unstable root: cached ($ROOT, made $(cat "$ROOT/.zln-made"))"
else
    echo "== Debian unstable root: making it ($MIRROR $SUITE)"
    command -v debootstrap >/dev/null 2>&1 || install_host_packages debootstrap
    make_root "$ROOT" "$SUITE" "$MIRROR" "${PACKAGES[@]}"
    echo "   made in $((SECONDS - started)) s"
fi

echo "== Entering it"
copy_host_configuration "$ROOT"
mount_into "$ROOT" /proc proc
mount_into "$ROOT" /dev bind
for path in $(pip_named_paths); do
    share_path "$ROOT" "$path"
done
copy_clone "$ZLN_ROOT" "$ROOT/work/zarvik_lumetra_native"

# Only what the suite needs is installed in the root's environments: the
# plots of the demo are drawn only on request, and the type check of the
# stubs (skipped without mypy) does not depend on the interpreter version:
# the host's 3.12 and 3.13 runs cover it.
grep -vE '^(types-tqdm|matplotlib|mypy)\b' "$ZLN_ROOT/requirements-dev.txt" \
    >"$ROOT/work/zarvik_lumetra_native/requirements-root.txt"

# The environments and build folders stay in the root between runs,
# kept by copy_clone (pip and CMake work incrementally).
run_in_root "$ROOT" "cd /work/zarvik_lumetra_native && \
    ZLN_REQUIREMENTS=requirements-root.txt \
    bash scripts/test.sh ${INTERPRETERS[*]}"
echo "== Debian unstable root: all interpreters passed in $((SECONDS - started)) s"
