# Cross build with zig for 64-bit Windows, MinGW-w64 headers with the UCRT; see zig-common.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZLN_ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
