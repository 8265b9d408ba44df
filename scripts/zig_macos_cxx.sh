#!/bin/sh
# `zig c++` for a macOS target, with one change to linking: zig's own Mach-O
# linker accepts -exported_symbols_list but ignores it, so a link that names
# one (an extension module) is done again, on the link line zig built, by
# LLVM's Mach-O linker (Debian's lld, run as `lld -flavor darwin`), which
# honours it as Apple's linker does. The module is loaded into an interpreter, so libSystem's symbols are left to
# dynamic lookup like the interpreter's (lld cannot read zig's libSystem.tbd).
# Usage (as scripts/ci_targets.sh writes the compiler wrappers):
#   zig_macos_cxx.sh ZIG TARGET compiler-arguments...
zig="$1" target="$2"
shift 2
list=""
for arg in "$@"; do
    case "$arg" in -Wl,-exported_symbols_list,*) list="${arg#-Wl,-exported_symbols_list,}" ;; esac
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
    [ "$arg" = -lSystem ] || set -- "$@" "$arg"
done
exec lld -flavor darwin -arch "$arch" "$@" -undefined dynamic_lookup -exported_symbols_list "$list"
