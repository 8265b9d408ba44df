#!/usr/bin/env bash
# CI stage: every platform the release matrix builds wheels for, compiled
# here and run where this machine can run it.
#
#   x86_64-linux-musl      zig, static; the harness runs natively
#   aarch64-linux-musl     zig, static; the harness runs under qemu-aarch64-static
#   x86_64-windows-zig     zig (MinGW-w64 headers, UCRT); the harness runs under wine
#   x86_64-windows-mingw   Debian's MinGW-w64 GCC, posix threads; under wine
#   aarch64-macos          zig; compile and link only, export tables checked
#   x86_64-macos           zig; compile and link only, export tables checked
#
# For each: a static libcrypto built for the target from Debian's OpenSSL
# source package, then the CMake build of the numeric core, the C++ harness,
# the extension modules and the test-only extension against that target's
# CPython headers, with the same no-FMA object check as scripts/ci_cross.sh.
# Where it runs, the harness runs once per kernel level. For macOS every
# extension module of the distribution the CMake build defines
# (extension_modules.txt in the build folder) must export its own PyInit_
# symbol and nothing else.
#
# CPython headers: Linux and macOS targets use the Include folder of the
# host interpreters (pyenv's 3.12 and 3.13) with their pyconfig.h, the
# x86-64 Linux one (LP64 like every target here; neither PyPI nor Debian
# carries a musl or macOS pyconfig.h). Windows targets use Include and
# PC/pyconfig.h(.in) of Debian's python3.13 source package, and an import
# library for python313.dll made with dlltool from the functions and data
# those headers declare.
#
# Prints one line per target and a closing "targets: K passed, F failed";
# exit status 0 only when F is 0. Tools come from apt-get (as root) and the
# ziglang package from PyPI in a venv of its own. Downloads, libcrypto
# builds, zig's cache and wine's prefix are kept outside the clone in
# $ZLN_TARGETS_CACHE (default /var/cache/zarvik_lumetra_native/targets); a
# libcrypto older than a week is built again.
set -uo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
CACHE="${ZLN_TARGETS_CACHE:-/var/cache/zarvik_lumetra_native/targets}"
BUILD="$ZLN_ROOT/build/targets"
ZIG_VERSION=0.17.1
# x86_64-windows-zig comes last: its zig runtime is the longest to build (see
# below), and the targets before it need none or have theirs by then.
ALL_TARGETS=(x86_64-linux-musl aarch64-linux-musl x86_64-windows-mingw aarch64-macos x86_64-macos x86_64-windows-zig)
# A subset may be named on the command line (for working on one target).
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL_TARGETS[@]}")
mkdir -p "$CACHE" "$BUILD"
started=$SECONDS
source "$ZLN_ROOT/scripts/find_python.sh"
zln_find_python 3.12 || exit 1
PY312="$PYTHON"
zln_find_python 3.13 || exit 1
PY313="$PYTHON"

fail_setup() { echo "error: $*" >&2; echo "targets: 0 passed, ${#TARGETS[@]} failed"; exit 1; }

# --- tools -------------------------------------------------------------------
need=()
for tool in x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix x86_64-w64-mingw32-dlltool:binutils-mingw-w64-x86-64 \
            /usr/lib/wine/wine64:wine64 qemu-aarch64-static:qemu-user-static dpkg-source:dpkg-dev \
            llvm-nm:llvm llvm-objdump:llvm lld:lld ninja:ninja-build perl:perl make:make; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool##*:}")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null \
        || fail_setup "apt-get install ${need[*]}"
fi
# wine64 alone (without Debian's wine wrapper package) installs its loader here.
WINE=/usr/lib/wine/wine64

ZIG_VENV="$CACHE/zig-venv"
if [ ! -x "$ZIG_VENV/bin/python" ] || ! "$ZIG_VENV/bin/python" -m ziglang version 2>/dev/null | grep -qx "$ZIG_VERSION"; then
    echo "== zig $ZIG_VERSION from PyPI (ziglang) into $ZIG_VENV"
    rm -rf "$ZIG_VENV"
    "$PY312" -m venv "$ZIG_VENV" && "$ZIG_VENV/bin/pip" install -q "ziglang==$ZIG_VERSION" \
        || fail_setup "pip install ziglang==$ZIG_VERSION"
fi
ZIG="$("$ZIG_VENV/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
export ZIG_GLOBAL_CACHE_DIR="$CACHE/zig-cache"
# CMake takes no compiler with arguments: one-line wrappers per target.
export ZLN_ZIG_WRAPPERS="$CACHE/zig-wrappers"
mkdir -p "$ZLN_ZIG_WRAPPERS"
# An optimisation level before the build's own flags (which come later and
# win): CMake's compiler checks pass none, and zig would then build a second,
# debug set of its runtime libraries for the target (the UBSan runtime,
# compiler_rt and libunwind again), about a sixth of a cold configuration.
ZIG_FIRST_FLAGS="-O2 -fno-sanitize=undefined"
for t in x86_64-linux-musl aarch64-linux-musl x86_64-windows-gnu aarch64-macos x86_64-macos; do
    printf '#!/bin/sh\nexec "%s" cc -target %s %s "$@"\n' "$ZIG" "$t" "$ZIG_FIRST_FLAGS" >"$ZLN_ZIG_WRAPPERS/zig-cc-$t"
    printf '#!/bin/sh\nexec "%s" c++ -target %s %s "$@"\n' "$ZIG" "$t" "$ZIG_FIRST_FLAGS" >"$ZLN_ZIG_WRAPPERS/zig-c++-$t"
done
# macOS links that name an exported-symbols list go through lld (see there).
for t in aarch64-macos x86_64-macos; do
    printf '#!/bin/sh\nexec "%s" "%s" %s %s "$@"\n' "$ZLN_ROOT/scripts/zig_macos_cxx.sh" "$ZIG" "$t" "$ZIG_FIRST_FLAGS" \
        >"$ZLN_ZIG_WRAPPERS/zig-c++-$t"
done
for t in ar ranlib dlltool; do printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$ZIG" "$t" >"$ZLN_ZIG_WRAPPERS/zig-$t"; done
chmod +x "$ZLN_ZIG_WRAPPERS"/*

# --- zig's runtime libraries --------------------------------------------------
# On first use zig builds a target's runtime libraries from source (libc,
# libc++, libunwind, compiler_rt; for Windows the MinGW-w64 libraries too),
# mostly one file at a time: on a cold machine most of this stage. They are
# built here in the background, one target after the other in the order the
# targets come, while the libcrypto builds and the first targets' own builds
# use the other CPU; zig's cache takes care that a build needing a runtime
# that is still being made waits for it instead of making it again. An
# executable and a shared library, as the harness and the modules link.
zig_target() {  # target -> zig's name for it, or nothing (MinGW GCC)
    case "$1" in
        x86_64-windows-mingw) ;;
        x86_64-windows-zig) echo x86_64-windows-gnu ;;
        *) echo "$1" ;;
    esac
}
warm_zig_runtimes() {  # targets...
    local t z dir static
    for t in "$@"; do
        z="$(zig_target "$t")"
        # macOS links leave the C++ runtime to the system (zig_macos_cxx.sh).
        case "$t" in "" | *macos) continue ;; esac
        [ -n "$z" ] || continue
        dir="$CACHE/work/runtime-$z"
        mkdir -p "$dir"
        printf '#include <string>\nint main(int argc, char**) { return static_cast<int>(std::to_string(argc).size()) - 1; }\n' \
            >"$dir/main.cpp"
        static=""
        case "$t" in *linux-musl) static=-static ;; esac
        "$ZLN_ZIG_WRAPPERS/zig-c++-$z" -g0 -O3 $static "$dir/main.cpp" -o "$dir/main.exe" >"$dir.log" 2>&1 &&
            "$ZLN_ZIG_WRAPPERS/zig-c++-$z" -g0 -O3 -fPIC -shared "$dir/main.cpp" -o "$dir/main.so" >>"$dir.log" 2>&1
    done
}
mkdir -p "$CACHE/work"
warm_zig_runtimes "${TARGETS[@]}" &
RUNTIMES_PID=$!
trap 'kill "$RUNTIMES_PID" 2>/dev/null' EXIT

# --- sources from Debian -------------------------------------------------------
# A private apt configuration with deb-src entries only, so the machine's own
# package lists stay as they are; apt verifies the lists' signatures and the
# files' hashes (dpkg-source checks those of the downloads).
APT_DIR="$CACHE/apt"
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
cat >"$APT_DIR/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian sid main
EOF
APT_OPTS=(-o "Dir::Etc::SourceList=$APT_DIR/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$APT_DIR/lists" -o "Dir::Cache=$APT_DIR/cache" -o APT::Sandbox::User=root)
if [ -z "$(find "$APT_DIR/lists" -maxdepth 1 -name '*Sources*' -mtime -7 2>/dev/null | head -1)" ]; then
    echo "== Debian source lists (bookworm, bookworm-security, sid)"
    apt-get "${APT_OPTS[@]}" update -qq || fail_setup "apt-get update (deb-src)"
fi

# Unpacks the newest version of a source package that the mirror serves in
# full (the newest are sometimes not there yet) into $CACHE/src; prints its
# folder. $2: a pattern the version must match.
fetch_source() {  # package, version pattern
    local pkg="$1" pattern="$2" v dir
    for v in $(apt-cache "${APT_OPTS[@]}" showsrc "$pkg" | awk '/^Version:/ {print $2}' | grep -E "$pattern" | sort -V -r -u); do
        dir="$CACHE/src/$pkg-$v"
        if [ -f "$dir/.zln-complete" ]; then echo "$dir"; return 0; fi
        rm -rf "$dir" && mkdir -p "$dir"
        if (cd "$dir" && apt-get "${APT_OPTS[@]}" source -qq --download-only "$pkg=$v" >/dev/null 2>&1 \
              && dpkg-source --no-check -x ./*.dsc tree >/dev/null 2>&1); then
            # --no-check: the signature's key isn't on this machine; the
            # hashes of the .dsc, which apt checked against the signed
            # lists, vouch for the files.
            rm -f "$dir"/*.orig.tar.* "$dir"/*.debian.tar.*
            touch "$dir/.zln-complete"
            echo "$dir"
            return 0
        fi
        rm -rf "$dir"
    done
    return 1
}

OPENSSL_SRC="$(fetch_source openssl '~deb12')" || fail_setup "no OpenSSL source package could be fetched"
OPENSSL_VERSION="${OPENSSL_SRC##*/openssl-}"
echo "== OpenSSL source: Debian openssl $OPENSSL_VERSION ($OPENSSL_SRC)"

PY_WIN=""
need_windows=0
for t in "${TARGETS[@]}"; do case "$t" in *windows*) need_windows=1 ;; esac; done
if [ "$need_windows" = 1 ]; then
    PYTHON_SRC="$(fetch_source python3.13 '^3\.13')" || fail_setup "no python3.13 source package could be fetched"
    echo "== Windows CPython headers: Debian python3.13 ${PYTHON_SRC##*/python3.13-} (Include, PC/pyconfig.h.in)"
    PY_WIN="$PYTHON_SRC/windows"
    if [ ! -f "$PY_WIN/libpython313.dll.a" ]; then
        rm -rf "$PY_WIN" && mkdir -p "$PY_WIN/include"
        cp -r "$PYTHON_SRC/tree/Include/." "$PY_WIN/include/"
        cp "$PYTHON_SRC/tree/PC/pyconfig.h.in" "$PY_WIN/include/pyconfig.h"
        # The interpreter DLL's functions and data as the headers declare them.
        "$PY312" - "$PY_WIN/include" >"$PY_WIN/python313.def" <<'EOF'
import pathlib, re, sys
names = {}
for h in pathlib.Path(sys.argv[1]).rglob("*.h"):
    text = h.read_text(errors="replace")
    for kind, name in re.findall(r"PyAPI_(FUNC|DATA)\([^;{]*?\)\s*\**\s*([A-Za-z_]\w*)\s*[(;\[]", text):
        names.setdefault(name, kind)
print("LIBRARY python313.dll\nEXPORTS")
for name in sorted(names):
    print(f"    {name}" + (" DATA" if names[name] == "DATA" else ""))
EOF
        x86_64-w64-mingw32-dlltool -d "$PY_WIN/python313.def" -D python313.dll -l "$PY_WIN/libpython313.dll.a" \
            || fail_setup "dlltool for python313.dll"
    fi
fi

# --- libcrypto per target ---------------------------------------------------
# Only SHA-256 through EVP is needed: no assembly (one C build for every
# target), no shared library, no engines, modules, protocols or other
# algorithms, -O0 (nothing here times hashing, and it halves the compile
# time) and no debug information (zig cc adds it unless
# told) to keep the build short.
OPENSSL_OPTIONS=(no-asm no-shared no-tests no-module no-dso no-engine no-async no-legacy no-ui-console no-sock
    no-comp no-ct no-ocsp no-cms no-ts no-cmp no-srp no-psk no-aria no-bf no-blake2 no-camellia no-cast
    no-chacha no-des no-dh no-dsa no-ec no-idea no-md4 no-mdc2 no-ocb no-poly1305 no-rc2 no-rc4 no-rmd160
    no-scrypt no-seed no-siphash no-siv no-sm2 no-sm3 no-sm4 no-whirlpool no-rfc3779 no-srtp no-ssl no-tls
    no-dtls no-ec2m no-cmac no-autoload-config -O0 -g0)

openssl_config() {  # target -> OpenSSL's configuration name
    case "$1" in
        x86_64-linux-musl) echo linux-x86_64 ;;
        aarch64-linux-musl) echo linux-aarch64 ;;
        x86_64-windows-*) echo mingw64 ;;
        aarch64-macos) echo darwin64-arm64-cc ;;
        x86_64-macos) echo darwin64-x86_64-cc ;;
    esac
}

c_tools() {  # target -> CC AR RANLIB
    case "$1" in
        x86_64-windows-mingw) echo "x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-ar x86_64-w64-mingw32-ranlib" ;;
        x86_64-windows-zig) echo "$ZLN_ZIG_WRAPPERS/zig-cc-x86_64-windows-gnu $ZLN_ZIG_WRAPPERS/zig-ar $ZLN_ZIG_WRAPPERS/zig-ranlib" ;;
        *) echo "$ZLN_ZIG_WRAPPERS/zig-cc-$1 $ZLN_ZIG_WRAPPERS/zig-ar $ZLN_ZIG_WRAPPERS/zig-ranlib" ;;
    esac
}

build_libcrypto() {  # target -> prints the folder holding include/ and lib/libcrypto.a
    local t="$1" out="$CACHE/openssl/$1" work="$CACHE/work/openssl-$1" cc ar ranlib
    if [ -f "$out/lib/libcrypto.a" ] && [ "$(cat "$out/.zln-version" 2>/dev/null)" = "$OPENSSL_VERSION" ] \
       && [ -n "$(find "$out/.zln-version" -mtime -7)" ]; then
        echo "$out"
        return 0
    fi
    read -r cc ar ranlib <<<"$(c_tools "$t")"
    rm -rf "$work" "$out" && mkdir -p "$(dirname "$work")" && cp -r "$OPENSSL_SRC/tree" "$work"
    local started_build=$SECONDS
    if ! (cd "$work" && ./Configure "$(openssl_config "$t")" CC="$cc" AR="$ar" RANLIB="$ranlib" "${OPENSSL_OPTIONS[@]}" \
            && make -j2 -s build_generated && make -j2 -s libcrypto.a) >"$CACHE/work/openssl-$t.log" 2>&1; then
        echo "   libcrypto for $t failed; the end of $CACHE/work/openssl-$t.log:" >&2
        tail -20 "$CACHE/work/openssl-$t.log" >&2
        return 1
    fi
    mkdir -p "$out/lib" && cp -r "$work/include" "$out/" && cp "$work/libcrypto.a" "$out/lib/"
    echo "$OPENSSL_VERSION" >"$out/.zln-version"
    rm -rf "$work"
    echo "   libcrypto for $t built in $((SECONDS - started_build)) s" >&2
    echo "$out"
}

# --- checks ------------------------------------------------------------------
# Fused multiply-add in the numeric core's objects would change results (the
# same instruction patterns as scripts/ci_cross.sh; llvm-objdump reads ELF,
# PE/COFF and Mach-O alike).
check_no_fma() {  # build-dir
    local objs found
    objs="$(find "$1/CMakeFiles/zln_core.dir" -name '*.o' -o -name '*.obj')"
    [ -n "$objs" ] || { echo "   no objects of the numeric core in $1"; return 1; }
    # shellcheck disable=SC2086
    found="$(llvm-objdump -d --no-show-raw-insn $objs \
        | grep -E -i '[[:space:]](v?f(n)?m(add|sub)[0-9]*[sp][sd]|vfmaddsub[0-9]*p[sd]|vfmsubadd[0-9]*p[sd]|fmadd|fmsub|fnmadd|fnmsub|fmla|fmls)[[:space:]]' || true)"
    if [ -n "$found" ]; then
        echo "   fused multiply-add in the numeric core:"
        echo "$found" | head -10
        return 1
    fi
    echo "   no fused multiply-add in the numeric core"
}

# Runs the harness once per kernel level this CPU tells apart, two runs at a
# time. Each run tests only what its level adds to the one below
# (--one-level), so together they test every level once; a level whose
# capabilities the CPU lacks would repeat the level below and is not run.
# Cases that build no kernel table (marked "[any level]") run at one level
# only: their names come from the first target's first run (the same harness
# sources everywhere), so the first target runs its first level before the
# others and the later targets run them at their last level.
# Prints "N cases, 0 failed" or the failures. $@: how to run a program.
ANY_LEVEL_LIST="$BUILD/any-level.txt"
rm -f "$ANY_LEVEL_LIST"
run_levels() {  # build-dir, runner...
    local dir="$1" levels distinct level out n status=0 counts=() exe="$1/zln_core_tests" skips=""
    shift
    [ -f "$exe.exe" ] && exe="$exe.exe"
    levels="$("$@" "$exe" --list-kernel-levels | tr -d '\r')" || { echo "   the harness did not start"; return 1; }
    distinct="$("$@" "$exe" --list-cpu-kernel-levels | tr -d '\r')" || { echo "   the harness did not start"; return 1; }
    local -a all
    read -r -d '' -a all <<<"$distinct"
    mkdir -p "$dir/levels"
    # The runner may be wine: paths as the program sees them, relative.
    run_some() {  # extra-option, levels...
        local extra="$1"
        shift
        printf '%s\n' "$@" | (cd "$dir" && xargs -P 2 -I{} sh -c \
            '"$@" --one-level={} '"$extra"' > "levels/{}.out" 2>&1; echo $? > "levels/{}.rc"' _ "${runner[@]}" "$exe")
    }
    local -a runner=("$@")
    local any_at="${all[0]}"
    if [ -f "$ANY_LEVEL_LIST" ] && [ ${#all[@]} -gt 1 ]; then
        # The last level runs them: under emulation the generic level is
        # the slowest, and this evens out the two runs side by side.
        any_at="${all[-1]}"
        cp "$ANY_LEVEL_LIST" "$dir/levels/any-level.txt"
        run_some "" "$any_at" &
        local last=$!
        run_some "--skip-listed=levels/any-level.txt" "${all[@]:0:${#all[@]}-1}"
        wait "$last"
    else
        run_some "" "${all[0]}"
        tr -d '\r' <"$dir/levels/${all[0]}.out" | sed -n 's/^ok   \(.*\) ([0-9]* ms) \[any level\]$/\1/p' \
            >"$dir/levels/any-level.txt"
        [ ${#all[@]} -le 1 ] || run_some "--skip-listed=levels/any-level.txt" "${all[@]:1}"
        [ "$(cat "$dir/levels/${all[0]}.rc")" != 0 ] || cp "$dir/levels/any-level.txt" "$ANY_LEVEL_LIST"
    fi
    local shown=""
    for level in $levels; do
        if ! grep -qx -- "$level" <<<"$distinct"; then
            echo "   $level: not run (this CPU lacks its instructions: its table is ${shown:-generic}'s)"
            continue
        fi
        shown="$level"
        out="$(tr -d '\r' <"$dir/levels/$level.out")"
        skips+="$(grep '^skip ' <<<"$out")"$'\n'
        n="$(grep -E '^[0-9]+ cases, [0-9]+ failed checks$' <<<"$out" | tail -1)"
        if [ "$(cat "$dir/levels/$level.rc")" != 0 ] || [ -z "$n" ] || [[ "$n" != *" 0 failed checks" ]]; then
            echo "   $level: ${n:-no summary}, exit $(cat "$dir/levels/$level.rc")"
            grep -E 'FAIL|failed|differs|error' <<<"$out" | head -10 | sed 's/^/     /'
            status=1
        else
            echo "   $level: $n ($(sed -n 's/^kernel levels: //p' <<<"$out" | head -1))"
        fi
        counts+=("${n%% cases*}")
    done
    [ ${#all[@]} -le 1 ] ||
        echo "   ($(grep -c . "$dir/levels/any-level.txt") cases build no kernel table: run at $any_at only)"
    # What the harness skipped, and why (the same at every level).
    sort -u <<<"$skips" | grep . | sed 's/^/   /'
    LAST_CASES="$(printf '%s\n' "${counts[@]}" | sort -u | paste -sd/)"
    return "$status"
}

# Every extension module of the distribution exports its PyInit_ alone.
check_exports() {  # build-dir
    local dir="$1" module file exports status=0 shown=()
    while read -r module; do
        [ -n "$module" ] || continue
        file="$(find "$dir" -maxdepth 1 -name "$module.*so" -o -maxdepth 1 -name "$module.*dylib" | head -1)"
        if [ -z "$file" ]; then echo "   $module: not linked"; status=1; continue; fi
        exports="$(llvm-nm --extern-only --defined-only -j "$file" | sort -u)"
        echo "   $module: $(wc -l <<<"$exports") exported symbols ($(basename "$file"))"
        if [ "$exports" != "_PyInit_$module" ]; then
            echo "   $module exports more than _PyInit_$module:"; head -5 <<<"$exports" | sed 's/^/     /'
            status=1
        else
            shown+=("PyInit_$module")
        fi
    done <"$dir/extension_modules.txt"
    [ ${#shown[@]} -gt 0 ] || status=1
    LAST_EXPORTS="$(IFS=,; echo "${shown[*]}" | sed 's/,/, /g')"
    return "$status"
}

# --- one target ---------------------------------------------------------------
cmake_args() {  # target
    local py312="$PY312" py313="$PY313"
    case "$1" in
        x86_64-linux-musl | aarch64-linux-musl)
            echo "-DCMAKE_TOOLCHAIN_FILE=$ZLN_ROOT/cmake/toolchains/zig-$1.cmake -DCMAKE_EXE_LINKER_FLAGS=-static"
            echo "-DPython_EXECUTABLE=$py312 -DPython_INCLUDE_DIR=$("$py312" -c 'import sysconfig; print(sysconfig.get_path("include"))')" ;;
        aarch64-macos | x86_64-macos)
            echo "-DCMAKE_TOOLCHAIN_FILE=$ZLN_ROOT/cmake/toolchains/zig-$1.cmake"
            echo "-DPython_EXECUTABLE=$py313 -DPython_INCLUDE_DIR=$("$py313" -c 'import sysconfig; print(sysconfig.get_path("include"))')" ;;
        x86_64-windows-zig)
            echo "-DCMAKE_TOOLCHAIN_FILE=$ZLN_ROOT/cmake/toolchains/zig-x86_64-windows-gnu.cmake"
            echo "-DPython_EXECUTABLE=$py313 -DPython_INCLUDE_DIR=$PY_WIN/include -DPython_LIBRARY=$PY_WIN/libpython313.dll.a" ;;
        x86_64-windows-mingw)
            echo "-DCMAKE_TOOLCHAIN_FILE=$ZLN_ROOT/cmake/toolchains/mingw-w64-x86_64-posix.cmake -DCMAKE_EXE_LINKER_FLAGS=-static"
            echo "-DPython_EXECUTABLE=$py313 -DPython_INCLUDE_DIR=$PY_WIN/include -DPython_LIBRARY=$PY_WIN/libpython313.dll.a" ;;
    esac
}

LAST_CASES="" LAST_EXPORTS=""
run_target() {  # target -> prints its summary line last
    local t="$1" ssl dir
    echo "== $t"
    ssl="$(build_libcrypto "$t")" || { echo "$t: libcrypto failed to build"; return 1; }
    dir="$BUILD/$t"
    rm -rf "$dir"
    # shellcheck disable=SC2046
    # -g0: zig adds debug information by default, which only slows the build.
    if ! cmake -S "$ZLN_ROOT" -B "$dir" -G Ninja $(cmake_args "$t") -DOPENSSL_ROOT_DIR="$ssl" -DOPENSSL_USE_STATIC_LIBS=TRUE \
            -DCMAKE_CXX_FLAGS=-g0 -DZLN_BUILD_TESTING=ON >"$dir.configure.log" 2>&1; then
        tail -20 "$dir.configure.log"; echo "$t: CMake configuration failed"; return 1
    fi
    # macOS: nothing runs, so the harness is compiled and not linked (a
    # program would need the C++ runtime that the links leave to the system).
    local what=()
    case "$t" in
        *macos) what=(--target zln_core $(cat "$dir/extension_modules.txt") _zarvik_lumetra_testing
                      $(ninja -C "$dir" -t targets all | grep -o '^CMakeFiles/zln_core_tests\.dir/[^:]*\.o')) ;;
    esac
    if ! cmake --build "$dir" -j 2 "${what[@]}" >"$dir.build.log" 2>&1; then
        grep -E -B2 -A6 'error|FAILED' "$dir.build.log" | head -40; echo "$t: build failed"; return 1
    fi
    local warnings
    warnings="$(grep -c -i 'warning:' "$dir.build.log")"
    echo "   compiled: $(grep -c 'Building CXX object CMakeFiles/zln_core.dir' "$dir.build.log") core," \
         "$(grep -c 'Building CXX object CMakeFiles/zln_core_tests.dir' "$dir.build.log") harness," \
         "$(grep -E -c 'Building CXX object CMakeFiles/(zln_module_common|zarvik_lumetra_[a-z_]*)\.dir' "$dir.build.log") extension modules," \
         "$(grep -c 'Building CXX object CMakeFiles/_zarvik_lumetra_testing.dir' "$dir.build.log") test-only extension," \
         "$(grep -c 'Building CXX object' "$dir.build.log") files in all; $warnings warnings"
    local status=0
    check_no_fma "$dir" || status=1
    case "$t" in
        *macos)
            check_exports "$dir" || status=1
            [ "$status" = 0 ] && echo "$t: linked; exports: $LAST_EXPORTS" || echo "$t: FAILED"
            return "$status" ;;
        x86_64-linux-musl) run_levels "$dir" env || status=1 ;;
        aarch64-linux-musl) run_levels "$dir" qemu-aarch64-static || status=1 ;;
        # No Mono or Gecko: nothing here needs them, and wine would offer to fetch them.
        *windows*) run_levels "$dir" env WINEPREFIX="$CACHE/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" \
                       || status=1 ;;
    esac
    [ "$status" = 0 ] && echo "$t: $LAST_CASES cases, 0 failed" || echo "$t: FAILED"
    return "$status"
}

# libcrypto for every target first (two compilers at a time), beside the
# zig runtimes being built in the background.
for t in "${TARGETS[@]}"; do build_libcrypto "$t" >/dev/null || true; done

passed=0 failed=0 summary=()
for t in "${TARGETS[@]}"; do
    target_started=$SECONDS
    output="$(run_target "$t" 2>&1)"
    status=$?
    echo "$output" | sed '$d'
    echo "   ($((SECONDS - target_started)) s)"
    summary+=("$(echo "$output" | tail -1)")
    if [ "$status" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
printf '%s\n' "${summary[@]}"
echo "targets: $passed passed, $failed failed ($((SECONDS - started)) s)"
[ "$failed" = 0 ]
