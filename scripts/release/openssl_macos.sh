#!/usr/bin/env bash
# Release builds on macOS: a static libcrypto for both x86_64 and arm64 at the
# wheels' deployment target, as one universal library under the prefix $1
# (include/, lib/libcrypto.a). Static, so that the wheel needs no dylib newer
# than its target; universal, so that one prefix serves both architectures.
# Run once per macOS runner by cibuildwheel's before-all.
set -euo pipefail
prefix="${1:?usage: openssl_macos.sh PREFIX}"
version="3.5.9"
# SHA-256 of the release tarball (the same bytes as Debian's
# openssl_3.5.9.orig.tar.gz, whose upstream signature it carries).
sha256="603f5602e2eef00d77fbd429d34dcd5822bb301757a1bc9cdb24c670f1eb859a"
target="${MACOSX_DEPLOYMENT_TARGET:-13.3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

curl -fsSL -o "$work/openssl.tar.gz" \
    "https://github.com/openssl/openssl/releases/download/openssl-$version/openssl-$version.tar.gz"
echo "$sha256  $work/openssl.tar.gz" | shasum -a 256 -c -

for arch in x86_64 arm64; do
    mkdir -p "$work/$arch"
    tar -xzf "$work/openssl.tar.gz" -C "$work/$arch" --strip-components=1
    (cd "$work/$arch" \
        && ./Configure "darwin64-$arch-cc" no-shared no-module no-tests no-apps no-docs \
               --prefix="$work/$arch-prefix" --libdir=lib "-mmacosx-version-min=$target" \
        && make -j "$(sysctl -n hw.ncpu)" build_libs >/dev/null \
        && make install_dev >/dev/null)
done
# The public headers must not depend on the architecture for one set to serve both.
diff -r "$work/x86_64-prefix/include" "$work/arm64-prefix/include"
rm -rf "$prefix"
mkdir -p "$prefix/lib"
cp -R "$work/arm64-prefix/include" "$prefix/"
lipo -create "$work/x86_64-prefix/lib/libcrypto.a" "$work/arm64-prefix/lib/libcrypto.a" \
    -output "$prefix/lib/libcrypto.a"
lipo -info "$prefix/lib/libcrypto.a"
