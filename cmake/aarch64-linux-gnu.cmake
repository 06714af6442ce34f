# Cross build for aarch64 Linux with Debian's g++-aarch64-linux-gnu (CMake 4.1
# or newer):
#   cmake --toolchain cmake/aarch64-linux-gnu.cmake -DVELA_SHA_AARCH64_ROOT=ROOT
#         -DVELA_SHA_AARCH64_RUN_ROOT=RUN_ROOT [-DPython_EXECUTABLE=RUN_ROOT/usr/bin/python3.N] ...
# ROOT and RUN_ROOT are unpacked arm64 Debian trees (scripts/install-pythons
# makes them): ROOT with libssl-dev (its static libcrypto) and, for the core's
# tests, libgtest-dev; RUN_ROOT with a C library and, for the extension
# modules, the interpreter and its headers. The programs built here (the
# tests), and the interpreter that FindPython asks about the target, run under
# qemu-aarch64-static in RUN_ROOT.
if(CMAKE_VERSION VERSION_LESS 4.1)
  # Older FindPython would take this machine's interpreter for the target's.
  message(FATAL_ERROR " vela-sha: a cross build needs CMake 4.1 or newer")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Toolchain files are read again for each try_compile: keep the roots.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELA_SHA_AARCH64_ROOT VELA_SHA_AARCH64_RUN_ROOT)
if(NOT VELA_SHA_AARCH64_ROOT OR NOT VELA_SHA_AARCH64_RUN_ROOT)
  message(FATAL_ERROR " vela-sha: set VELA_SHA_AARCH64_ROOT and VELA_SHA_AARCH64_RUN_ROOT to arm64 trees "
                      "(bash scripts/install-pythons)")
endif()

# Headers and libraries come from the cross toolchain's own tree and the roots,
# never from this machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu "${VELA_SHA_AARCH64_ROOT}" "${VELA_SHA_AARCH64_RUN_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Pointer authentication (Debian's newer arm64 builds use it) with qemu's fast
# implementation-defined algorithm: the architected one makes them 3-4x slower.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -cpu max,pauth-impdef=on -L "${VELA_SHA_AARCH64_RUN_ROOT}")
