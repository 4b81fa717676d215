# Cross build for 32-bit ARM (hard float) with Debian's g++-arm-linux-gnueabihf, against a sysroot
# holding the armhf libmodbus (and GoogleTest for the tests): -DXSYSROOT=<dir>, as filled by
# scripts/arm-sysroot.sh. Test programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT XSYSROOT)
    message(FATAL_ERROR "set XSYSROOT to the armhf sysroot (scripts/arm-sysroot.sh)")
endif()
# try_compile projects read this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XSYSROOT)

# The musl targets have 64-bit time_t and off_t; armhf glibc keeps 32-bit ones unless asked.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf ${XSYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${XSYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${XSYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${XSYSROOT})

# No binfmt handler is assumed: CTest, gtest_discover_tests and the process tests start target
# programs through the emulator, which finds the C library in the cross toolchain's tree.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=${XSYSROOT}/usr/lib/arm-linux-gnueabihf)
