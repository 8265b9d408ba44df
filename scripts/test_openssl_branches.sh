#!/usr/bin/env bash
# Builds the numeric core and runs the C++ harness on the SHA-256 branch that
# the default build does not take here:
#   1. EVP_sha256(), forced by ZLN_OPENSSL_LEGACY_DIGEST against this
#      machine's OpenSSL 3 (the module's digest tests run on it as well);
#   2. OpenSSL 1.1.1 itself (what manylinux_2_28 images carry): Debian 11's
#      libssl-dev and libssl1.1 packages, checked against pinned SHA-256 sums
#      and unpacked under build/openssl-1.1.1/ (nothing is installed).
# The default build (EVP_MD_fetch) is run by scripts/test.sh.
# Usage: scripts/test_openssl_branches.sh [harness-filter]   (default: all cases)
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
filter=("$@")

# Configures, builds and runs the harness alone in build/$1 with the CMake
# settings that follow.
run_harness() {
    local dir="$ZLN_ROOT/build/$1"; shift
    cmake -S "$ZLN_ROOT" -B "$dir" -G Ninja -DZLN_BUILD_MODULE=OFF -DZLN_BUILD_TESTING=ON "$@" >"$dir.log" 2>&1 \
        || { cat "$dir.log" >&2; exit 1; }
    cmake --build "$dir" -j 2 >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
    "$dir/zln_core_tests" "${filter[@]}" | grep -E "^ +SHA-256 via|^FAIL|cases," 
}

echo "== EVP_sha256() against this machine's OpenSSL"
# The module with its test-only extension; the same build makes the harness.
source "$ZLN_ROOT/scripts/find_python.sh"
zln_find_python 3.12 || exit 1
venv="$ZLN_ROOT/build/legacy-digest-venv"
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
VENV_PY="$venv/bin/python"
zln_quiet "$VENV_PY" -m pip install -q --disable-pip-version-check scikit-build-core ninja pytest hypothesis numpy
zln_install_module "$ZLN_ROOT/build/py3.12-legacy-digest" \
    -C cmake.define.ZLN_BUILD_TESTING=ON -C cmake.define.ZLN_OPENSSL_LEGACY_DIGEST=ON
"$ZLN_ROOT/build/py3.12-legacy-digest/zln_core_tests" "${filter[@]}" | grep -E "^ +SHA-256 via|^FAIL|cases,"
(cd "$ZLN_ROOT" && "$VENV_PY" -m pytest -q -p no:cacheprovider tests/test_digest.py | tail -n 1)

echo "== OpenSSL 1.1.1 (Debian 11 packages)"
ossl="$ZLN_ROOT/build/openssl-1.1.1"
version="1.1.1w-0+deb11u1"
# file name and SHA-256 of each package, as Debian 11's package index gives them
packages=(
    "libssl-dev_${version}_amd64.deb 56aab36e214954ff19e55cb7ebc96921ebd6387c266c906649ad909933d455b7"
    "libssl1.1_${version}_amd64.deb aadf8b4b197335645b230c2839b4517aa444fd2e8f434e5438c48a18857988f7"
)
if [ "$(uname -m)" != x86_64 ]; then
    echo "skipped: the pinned packages are for x86-64"; exit 0
fi
mkdir -p "$ossl/debs"
for entry in "${packages[@]}"; do
    read -r file sum <<<"$entry"
    deb="$ossl/debs/$file"
    if ! echo "$sum  $deb" | sha256sum -c --status 2>/dev/null; then
        # The main archive keeps a release's packages until it is retired to
        # the archive server.
        curl -fsSL -o "$deb" "https://deb.debian.org/debian/pool/main/o/openssl/$file" \
            || curl -fsSL -o "$deb" "https://archive.debian.org/debian/pool/main/o/openssl/$file" \
            || { echo "error: could not download $file from Debian's archive" >&2; exit 1; }
        echo "$sum  $deb" | sha256sum -c --status || { echo "error: $file does not match its pinned SHA-256" >&2; exit 1; }
    fi
done
# A plain prefix (include/, lib/) out of Debian's multiarch layout, so that
# CMake finds these headers and this library, never the system's.
rm -rf "$ossl/root" "$ossl/prefix"
for entry in "${packages[@]}"; do dpkg -x "$ossl/debs/${entry%% *}" "$ossl/root"; done
arch_dir="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)"
mkdir -p "$ossl/prefix/include" "$ossl/prefix/lib"
cp -r "$ossl/root/usr/include/openssl" "$ossl/prefix/include/"
cp "$ossl/root/usr/include/$arch_dir/openssl/"*.h "$ossl/prefix/include/openssl/"
cp -P "$ossl/root/usr/lib/$arch_dir/"libcrypto.so* "$ossl/root/usr/lib/$arch_dir/"libssl.so* "$ossl/prefix/lib/"
run_harness cpp-tests-openssl-1.1.1 -DOPENSSL_ROOT_DIR="$ossl/prefix" -DOPENSSL_USE_STATIC_LIBS=OFF
ldd "$ZLN_ROOT/build/cpp-tests-openssl-1.1.1/zln_core_tests" | grep libcrypto
