# Fully static build for 32-bit ARM (armv7, hard float, Thumb-2) with musl: clang and ld.lld
# against a sysroot filled by scripts/musl-sysroot.sh (-DXSYSROOT=<dir>) that holds musl, the
# kernel headers, libgcc.a with the start files, and libmodbus. The daemon needs no C++ library:
# libstdc++ serves as headers only and nothing C++ is linked. Test programs run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET armv7-linux-musleabihf)
set(CMAKE_CXX_COMPILER_TARGET armv7-linux-musleabihf)
# The build's artifact is named wirebox-<version>-armv7-musl.
set(WIREBOX_TARGET_NAME armv7-musl)

if(NOT XSYSROOT)
    message(FATAL_ERROR "set XSYSROOT to the musl sysroot (scripts/musl-sysroot.sh)")
endif()
# try_compile projects read this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XSYSROOT)
set(CMAKE_SYSROOT ${XSYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${XSYSROOT}/usr/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${XSYSROOT})

# Thumb-2, as Debian's armhf compiler defaults to: some 15% smaller than ARM code. libmodbus in
# the sysroot is compiled the same way.
set(CMAKE_C_FLAGS_INIT "-mthumb")
# libstdc++'s headers, where Debian's armhf cross compiler finds them (relative to its libgcc.a).
# They were configured for glibc: its version checks must see no glibc, and its name for
# locale_t is spelled out.
execute_process(COMMAND arm-linux-gnueabihf-gcc -print-libgcc-file-name
    OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_dir ${libgcc} DIRECTORY)
get_filename_component(gcc_version ${gcc_dir} NAME)
get_filename_component(cxx_headers ${gcc_dir}/../../../../arm-linux-gnueabihf/include/c++/${gcc_version}
    REALPATH)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${cxx_headers} ${cxx_headers}/arm-linux-gnueabihf)
set(CMAKE_CXX_FLAGS_INIT "-mthumb '-D__GLIBC_PREREQ(major,minor)=0' -D__locale_t=locale_t")

# Every start file and library comes from the sysroot. No C++ library and no unwinder are asked
# for, so a reference to either fails the link rather than pull in code built for glibc; the
# -static-libstdc++ of other builds means nothing here.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fuse-ld=lld -static -nostdlib++ --unwindlib=none -Wno-unused-command-line-argument")
# Archives, symbol lists and stripping for ARM: the cross compiler's binutils.
foreach(tool ar ranlib nm strip objcopy objdump readelf)
    string(TOUPPER ${tool} var)
    set(CMAKE_${var} /usr/bin/arm-linux-gnueabihf-${tool})
endforeach()

# A static program needs no library tree: the emulator alone runs it.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)
