# Cross build for AArch64 Linux with Debian's cross compilers
# (g++-aarch64-linux-gnu; the target's C library lies in
# /usr/aarch64-linux-gnu). Programs built for the target run on the build
# host under qemu-aarch64 (Debian's qemu-user), which is how ctest and
# GoogleTest's test discovery start them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VYRE_TARGET_TRIPLE aarch64-linux-gnu)
set(VYRE_TARGET_SYSROOT /usr/${VYRE_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${VYRE_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VYRE_TARGET_TRIPLE}-g++)

# Libraries, headers and packages come from the target's tree only; programs
# (tools run during the build) from the host.
set(CMAKE_FIND_ROOT_PATH ${VYRE_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VYRE_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VYRE_QEMU_AARCH64} -L ${VYRE_TARGET_SYSROOT})
