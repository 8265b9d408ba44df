# Cross build with zig for macOS (x86_64), compile and link only: nothing here runs Mach-O; see zig-common.cmake.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZLN_ZIG_TARGET x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
