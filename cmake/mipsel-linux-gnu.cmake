# Cross build for the receiver board: 32-bit little-endian MIPS (mips32r2,
# o32, hard-float) with Debian's cross compiler; programs run under qemu
# user-mode emulation, which ctest and the process-level tests put in front.
#
#   cmake -S . -B build-mipsel -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
# The cross libraries live here; setting CMAKE_SYSROOT instead breaks linking.
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-mipsel -L /usr/mipsel-linux-gnu)
