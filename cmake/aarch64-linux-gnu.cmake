# Cross build for 64-bit ARM with Debian's cross compiler
# (g++-aarch64-linux-gnu), its programs run by qemu's user-mode emulation
# (qemu-user) on the cross C library: CTest and GoogleTest's discovery run
# every test program through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(vessa_cross_root /usr/aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${vessa_cross_root})
# Headers and libraries of the target alone; the build's programs are the host's.
set(CMAKE_FIND_ROOT_PATH ${vessa_cross_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
