#!/usr/bin/env bash
# Fuzzes the numeric core: each target in fuzz/ checks the fast paths
# against their scalar or general twins and against an oracle of its own.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS is the budget per target (default 60; CI passes 15). With
# clang and its fuzzer runtime the targets are coverage-guided libFuzzer
# binaries under AddressSanitizer and UndefinedBehaviorSanitizer; new
# interesting inputs go to build/fuzz/corpus/<target>, failing inputs to
# build/fuzz/artifacts/<target>/. Without clang (and when it can't be
# installed) the same targets are built with g++ and a plain driver that
# replays the committed corpus and regression inputs and then runs random
# mutations of them for the same budget.
#
# A failing input found by a campaign belongs in fuzz/regressions/<target>/,
# where every later run replays it first.
set -uo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
budget="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_simhash_paths fuzz_canonical_text fuzz_hamming)
out="$ZLN_ROOT/build/fuzz"
mkdir -p "$out"

clang_fuzzer_works() {
    command -v clang++ >/dev/null 2>&1 || return 1
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        >"$out/probe.cpp"
    clang++ -fsanitize=fuzzer "$out/probe.cpp" -o "$out/probe" >/dev/null 2>&1
}

try_install_clang() {
    command -v apt-get >/dev/null 2>&1 || return 1
    local sudo=""
    if [ "$(id -u)" != 0 ]; then
        command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null || return 1
        sudo="sudo -n"
    fi
    echo "fuzz: installing clang and its fuzzer runtime (apt-get)"
    export DEBIAN_FRONTEND=noninteractive
    timeout 300 $sudo apt-get install -y -qq clang >/dev/null 2>&1 \
        || { timeout 120 $sudo apt-get update -qq >/dev/null 2>&1 \
             && timeout 300 $sudo apt-get install -y -qq clang >/dev/null 2>&1; } || return 1
    clang_fuzzer_works && return 0
    local major
    major="$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)"
    [ -n "$major" ] && timeout 300 $sudo apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null 2>&1
    clang_fuzzer_works
}

if clang_fuzzer_works || try_install_clang; then
    engine=libfuzzer
    CXX=clang++
    core_flags=(-fsanitize=fuzzer-no-link,address,undefined)
    link_flags=(-fsanitize=fuzzer,address,undefined)
else
    engine=standalone
    CXX="${CXX:-g++}"
    echo "fuzz: clang's libFuzzer is not available and could not be installed;" \
         "falling back to $CXX with a replay-and-mutate driver (not coverage-guided)"
    core_flags=(-fsanitize=address,undefined)
    link_flags=(-fsanitize=address,undefined)
fi
common=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-fast-math
        -fno-sanitize-recover=undefined -I"$ZLN_ROOT/src" -I"$ZLN_ROOT/fuzz")

# Core objects, rebuilt when a source or header of the core is newer.
objdir="$out/obj-$engine"
mkdir -p "$objdir"
newest_header="$(ls -t $(find "$ZLN_ROOT/src/lsh" -name '*.hpp' -o -name '*.inc') | head -n 1)"
build_failed=0
# Every architecture's kernel files: each compiles to nothing off its own.
core_sources=$(find "$ZLN_ROOT/src/lsh" -name '*.cpp' | sort)
object_of() { local rel="${1#"$ZLN_ROOT/src/lsh/"}"; rel="${rel//\//_}"; echo "$objdir/${rel%.cpp}.o"; }
# Objects of sources that are gone (renamed or moved) would be linked too.
for obj in "$objdir"/*.o; do
    [ -e "$obj" ] || continue
    keep=0
    for src in $core_sources; do [ "$(object_of "$src")" = "$obj" ] && keep=1; done
    [ $keep = 1 ] || rm -f "$obj"
done
for src in $core_sources; do
    obj="$(object_of "$src")"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
        echo "$CXX ${common[*]} ${core_flags[*]} -c $src -o $obj"
    fi
done | xargs -P 2 -I{} sh -c '{} || exit 255' || build_failed=1
if [ $build_failed != 0 ]; then echo "fuzz: building the core failed" >&2; exit 2; fi

status=0
summary=()
for t in "${targets[@]}"; do
    bin="$out/$t-$engine"
    extra=()
    [ $engine = standalone ] && extra=("$ZLN_ROOT/fuzz/standalone_driver.cpp")
    if ! "$CXX" "${common[@]}" "${link_flags[@]}" "$ZLN_ROOT/fuzz/$t.cpp" "${extra[@]}" "$objdir"/*.o \
            -lcrypto -o "$bin"; then
        echo "fuzz: building $t failed" >&2
        exit 2
    fi
    work="$out/corpus/$t"
    artifacts="$out/artifacts/$t/"
    mkdir -p "$work" "$artifacts" "$ZLN_ROOT/fuzz/corpus/$t" "$ZLN_ROOT/fuzz/regressions/$t"
    log="$out/$t.log"
    echo "== $t ($engine, ${budget}s)"
    if [ $engine = libfuzzer ]; then
        "$bin" -max_total_time="$budget" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$artifacts" "$work" "$ZLN_ROOT/fuzz/corpus/$t" "$ZLN_ROOT/fuzz/regressions/$t" \
            >"$log" 2>&1
    else
        "$bin" -max_total_time="$budget" -artifact_prefix="$artifacts" \
            "$ZLN_ROOT/fuzz/corpus/$t" "$ZLN_ROOT/fuzz/regressions/$t" >"$log" 2>&1
    fi
    rc=$?
    runs="$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log" | tail -n 1)"
    if [ $rc != 0 ]; then
        status=1
        grep -E "MISMATCH|ERROR: |runtime error|Test unit written|input written" -A 3 "$log" | head -n 30 >&2
        summary+=("$t: FAILED (log: $log; failing input under $artifacts)")
    else
        summary+=("$t: ${runs:-?}, no failure")
    fi
done
echo "== fuzz summary ($engine)"
printf '  %s\n' "${summary[@]}"
exit $status
