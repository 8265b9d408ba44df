#!/bin/sh
# `zig c++` for a macOS target, with two changes to linking. First, zig's
# own Mach-O linker ignores an exported-symbols list (and takes no -bundle),
# so a link that names one (an extension module) is done by LLVM's Mach-O linker
# (Debian's lld, run as `lld -flavor darwin`), which honours the list as
# Apple's linker does, on the link line zig builds. The module is loaded into
# an interpreter, so libSystem's symbols are left to dynamic lookup like the
# interpreter's (lld cannot read zig's libSystem.tbd).
# Usage (as scripts/ci_targets.sh writes the compiler wrappers):
#   zig_macos_cxx.sh ZIG TARGET compiler-arguments...
zig="$1" target="$2"
shift 2
# Second, a link leaves the C++ runtime to the system, as Apple's toolchain
# links libc++ from the system's dylib: zig then builds no libc++ of its own for
# the target, and the symbols are resolved by dynamic lookup like
# libSystem's (below).
link=1
for arg in "$@"; do case "$arg" in -c | -E | -S | -M | -MM) link="" ;; esac; done
[ -z "$link" ] || set -- "$@" -nostdlib++
list="" bundle="" next=""
# The arguments for zig: without the list (either spelling CMake may use)
# and with -shared for -bundle.
for arg in "$@"; do
    shift
    case "$next$arg" in
        -Wl,-exported_symbols_list,*) list="${arg#-Wl,-exported_symbols_list,}"; continue ;;
        -Xlinker) next=x; continue ;;
        x-exported_symbols_list) next=list; continue ;;
        list-Xlinker) continue ;;
        list*) list="$arg" next=""; continue ;;
        x*) next=""; set -- "$@" -Xlinker "$arg"; continue ;;
        -bundle) bundle=1; set -- "$@" -shared; continue ;;
    esac
    set -- "$@" "$arg"
done
[ -n "$list" ] || exec "$zig" c++ -target "$target" "$@"
line="$("$zig" c++ -target "$target" -v "$@" 2>&1 >/dev/null | grep '^zig ld ')" || {
    "$zig" c++ -target "$target" "$@"
    exit $?
}
case "$target" in aarch64-*) arch=arm64 ;; *) arch=x86_64 ;; esac
set -f
# shellcheck disable=SC2086
set -- ${line#zig ld }
for arg in "$@"; do
    shift
    case "$arg" in
        -lSystem) ;;
        -dylib) if [ -n "$bundle" ]; then set -- "$@" -bundle; else set -- "$@" -dylib; fi ;;
        *) set -- "$@" "$arg" ;;
    esac
done
exec lld -flavor darwin -arch "$arch" "$@" -undefined dynamic_lookup -exported_symbols_list "$list"
