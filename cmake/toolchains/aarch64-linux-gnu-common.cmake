# Shared by the aarch64 toolchain files. ZLN_ARM64_OPENSSL_ROOT names a
# folder holding unpacked arm64 OpenSSL packages (libssl-dev, libssl3), as
# scripts/ci_cross.sh prepares them; the host's own OpenSSL is never used.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
if(DEFINED ENV{ZLN_ARM64_OPENSSL_ROOT})
  set(ZLN_ARM64_OPENSSL_ROOT $ENV{ZLN_ARM64_OPENSSL_ROOT})
endif()
if(ZLN_ARM64_OPENSSL_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZLN_ARM64_OPENSSL_ROOT})
  # Debian keeps the architecture's configuration header in a multiarch
  # folder, which a cross compiler does not search by itself.
  set(CMAKE_CXX_FLAGS_INIT "-isystem ${ZLN_ARM64_OPENSSL_ROOT}/usr/include/aarch64-linux-gnu")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The harness runs under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /usr/aarch64-linux-gnu)
