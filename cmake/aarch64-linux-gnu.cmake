# Cross-compiling for ARM64 Linux with Debian's aarch64-linux-gnu compilers
# against a Debian arm64 root (headers, libraries and its CPython), whose
# programs run under qemu-user: configure with
#   -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DQUIBEX_SYSROOT=/path/to/root
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT ${QUIBEX_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The root's programs (its python, the unit tests at discovery) run through
# the emulator, their files looked up in the root first.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${QUIBEX_SYSROOT})
