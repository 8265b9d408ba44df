# Cross build with zig for macOS (arm64), compile and link only: nothing here runs Mach-O; see zig-common.cmake.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(ZLN_ZIG_TARGET aarch64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
