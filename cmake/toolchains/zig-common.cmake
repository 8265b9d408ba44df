# Shared by the zig toolchain files: zig's clang with its own C library
# headers for the target (musl, MinGW-w64 with UCRT, macOS). The including
# file sets ZLN_ZIG_TARGET and the system. CMake takes no compiler with
# arguments, so the compilers are one-line wrappers named zig-cc-<target>,
# zig-c++-<target>, zig-ar and zig-ranlib, found on PATH or in the folder the
# environment variable ZLN_ZIG_WRAPPERS names (scripts/ci_targets.sh writes
# them).
find_program(ZLN_ZIG_CC zig-cc-${ZLN_ZIG_TARGET} HINTS ENV ZLN_ZIG_WRAPPERS REQUIRED NO_CMAKE_FIND_ROOT_PATH)
find_program(ZLN_ZIG_CXX zig-c++-${ZLN_ZIG_TARGET} HINTS ENV ZLN_ZIG_WRAPPERS REQUIRED NO_CMAKE_FIND_ROOT_PATH)
find_program(ZLN_ZIG_AR zig-ar HINTS ENV ZLN_ZIG_WRAPPERS REQUIRED NO_CMAKE_FIND_ROOT_PATH)
find_program(ZLN_ZIG_RANLIB zig-ranlib HINTS ENV ZLN_ZIG_WRAPPERS REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_C_COMPILER ${ZLN_ZIG_CC})
set(CMAKE_CXX_COMPILER ${ZLN_ZIG_CXX})
set(CMAKE_AR ${ZLN_ZIG_AR} CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZLN_ZIG_RANLIB} CACHE FILEPATH "")
# Libraries and headers for the target come only from the folders given
# (OPENSSL_ROOT_DIR, the Python headers), never from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
