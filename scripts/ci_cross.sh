#!/usr/bin/env bash
# CI stage: the same bits from other compilers and another architecture.
#   - x86-64, clang: the C++ harness with every level of the kernel table;
#   - x86-64, GCC, with the portable fallbacks forced (128-bit integers in
#     two halves, bit counts without builtins): the harness narrowed to the
#     generic kernels, what a CPU without vector extensions gets;
#   - aarch64 cross builds with GCC and clang: kernel tests, certified
#     comparisons and the known-answer table under qemu-aarch64-static;
#   - no fused multiply-add instruction in the numeric core of any of them.
# Installs its own tools with apt-get (as root) when they are missing. The
# arm64 OpenSSL is unpacked under build/ (apt-get download + dpkg -x): a
# multiarch install would replace the host's own libssl.
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ZLN_ROOT/build/cross"
mkdir -p "$BUILD"

need=()
for tool in clang++:clang ld.lld:lld aarch64-linux-gnu-g++:g++-aarch64-linux-gnu \
            aarch64-linux-gnu-objdump:binutils-aarch64-linux-gnu qemu-aarch64-static:qemu-user-static \
            ninja:ninja-build objdump:binutils; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool##*:}")
done
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    updated=0
else
    updated=1
fi
if [ ${#need[@]} -gt 0 ] || [ "$updated" = 0 ]; then
    echo "== installing: ${need[*]:-(arm64 package lists only)}"
    apt-get update -qq
    [ ${#need[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

SSL="$BUILD/arm64-openssl"
if [ ! -f "$SSL/root/usr/lib/aarch64-linux-gnu/libcrypto.so.3" ]; then
    echo "== arm64 OpenSSL, unpacked into $SSL"
    rm -rf "$SSL" && mkdir -p "$SSL/debs"
    (cd "$SSL/debs" && apt-get download -qq libssl-dev:arm64 libssl3:arm64 2>/dev/null)
    for deb in "$SSL"/debs/*.deb; do dpkg -x "$deb" "$SSL/root"; done
fi
export ZLN_ARM64_OPENSSL_ROOT="$SSL/root"

configure_and_build() {  # build-dir, cmake arguments...
    local dir="$1"; shift
    cmake -S "$ZLN_ROOT" -B "$dir" -G Ninja -DZLN_BUILD_MODULE=OFF -DZLN_BUILD_TESTING=ON "$@" >/dev/null
    cmake --build "$dir" -j 2 >/dev/null
}

# Fused multiply-add in the numeric core's objects (x86 vfmadd.../vfnmadd...,
# arm64 fmadd/fmsub/fnmadd/fnmsub/fmla/fmls) would change results.
check_no_fma() {  # build-dir, objdump
    local found
    found="$(find "$1/CMakeFiles/zln_core.dir" -name '*.o' -print0 | xargs -0 "$2" -d --no-show-raw-insn \
        | grep -E -i '[[:space:]](v?f(n)?m(add|sub)[0-9]*[sp][sd]|vfmaddsub[0-9]*p[sd]|vfmsubadd[0-9]*p[sd]|fmadd|fmsub|fnmadd|fnmsub|fmla|fmls)[[:space:]]' || true)"
    if [ -n "$found" ]; then
        echo "fused multiply-add in the numeric core of $1:" >&2
        echo "$found" | head -20 >&2
        return 1
    fi
    echo "   no fused multiply-add in the numeric core"
}

# Under emulation: the kernels, the certified comparisons and the known answers.
emulated_cases=(certified: "known answers" "simhash: every path" "simhash: sign word" "simhash: accumulate")
run_emulated() {  # build-dir
    local failed=0
    for filter in "${emulated_cases[@]}"; do
        QEMU_SET_ENV="LD_LIBRARY_PATH=$ZLN_ARM64_OPENSSL_ROOT/usr/lib/aarch64-linux-gnu" \
            qemu-aarch64-static -L /usr/aarch64-linux-gnu "$1/zln_core_tests" "$filter" | grep -v '^ok ' || failed=1
    done
    return "$failed"
}

echo "== x86-64, clang: harness with every kernel level"
configure_and_build "$BUILD/x86-clang" -DCMAKE_CXX_COMPILER=clang++
"$BUILD/x86-clang/zln_core_tests" | tail -n 1
check_no_fma "$BUILD/x86-clang" objdump

echo "== x86-64, GCC, portable fallbacks forced: harness narrowed to the generic kernels"
configure_and_build "$BUILD/x86-gcc-fallbacks" -DCMAKE_CXX_COMPILER=g++ -DZLN_PORTABLE_FALLBACKS=ON
"$BUILD/x86-gcc-fallbacks/zln_core_tests" --kernels=generic | tail -n 1
check_no_fma "$BUILD/x86-gcc-fallbacks" objdump

for compiler in gcc clang; do
    echo "== aarch64, $compiler, under qemu-aarch64-static"
    configure_and_build "$BUILD/aarch64-$compiler" \
        -DCMAKE_TOOLCHAIN_FILE="$ZLN_ROOT/cmake/toolchains/aarch64-linux-gnu-$compiler.cmake"
    run_emulated "$BUILD/aarch64-$compiler"
    check_no_fma "$BUILD/aarch64-$compiler" aarch64-linux-gnu-objdump
done
