#!/usr/bin/env bash
# Installs clang, ld.lld, the armhf cross compiler and qemu-user, then fills a sysroot (default
# build-musl/sysroot) for the static armv7 musl build of cmake/armv7-linux-musleabihf.cmake:
# Debian's armhf musl and kernel headers, the cross compiler's libgcc.a and start files, and
# libmodbus compiled from Debian's source package by the same clang into a static library.
# Packages come from this machine's own Debian mirror through a private apt state and are
# unpacked with dpkg-deb: armhf never joins dpkg's architectures (see wirebox_private_apt).
# Usage: scripts/musl-sysroot.sh [SYSROOT]. Does nothing once the sysroot is complete.
set -euo pipefail

cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
# shellcheck disable=SC2086 # a word list on purpose
wirebox_ensure_packages $WIREBOX_MUSL_PACKAGES

SYSROOT=$(readlink -m "${1:-build-musl/sysroot}")
CONTENTS="musl-dev linux-libc-dev libgcc libmodbus"
if [ "$(cat "$SYSROOT/.contents" 2>/dev/null)" = "$CONTENTS" ]; then
    exit 0
fi

state=$SYSROOT.apt
rm -rf "$SYSROOT" "$state"
mkdir -p "$state/debs" "$state/root" "$state/src" "$SYSROOT/usr/include/modbus" \
    "$SYSROOT/usr/lib/pkgconfig"
wirebox_private_apt "$state" armhf deb-src
(cd "$state/debs" && apt-get "${wirebox_apt[@]}" -q download musl-dev linux-libc-dev &&
    apt-get "${wirebox_apt[@]}" -q source --download-only libmodbus)
for deb in "$state/debs"/*.deb; do
    dpkg-deb -x "$deb" "$state/root"
done

# clang finds musl by itself in a plain sysroot: headers in usr/include, start files and
# libraries in usr/lib. Of the kernel headers, musl and libmodbus need linux/ and asm/.
inc=$state/root/usr/include
cp -a "$inc/arm-linux-musleabihf/." "$inc/linux" "$inc/asm-generic" "$inc/arm-linux-gnueabihf/asm" \
    "$SYSROOT/usr/include/"
cp -a "$state/root/usr/lib/arm-linux-musleabihf/." "$SYSROOT/usr/lib/"
# The compiler's own runtime (64-bit division and the like) and the start files clang puts
# around a static link, from the armhf cross compiler.
for f in libgcc.a crtbeginT.o crtend.o; do
    cp "$(arm-linux-gnueabihf-gcc -print-file-name="$f")" "$SYSROOT/usr/lib/"
done

# libmodbus: Debian's sources with Debian's patches, compiled as the toolchain file compiles.
# Its configure script is not shipped; config.h holds what it finds on Linux with musl.
# apt has checked the files against the archive's signed index: dpkg-source need not.
(cd "$state/src" && dpkg-source --no-check -x "$state"/debs/libmodbus_*.dsc)
lib=$(echo "$state"/src/libmodbus-*/)
version=$(basename "$lib")
version=${version#libmodbus-}
IFS=. read -r major minor micro <<<"$version"
printf '#define %s 1\n' _GNU_SOURCE HAVE_ACCEPT4 HAVE_BYTESWAP_H HAVE_STRLCPY HAVE_DECL_TIOCSRS485 \
    HAVE_DECL_TIOCM_RTS >"$state/config.h"
sed -e "s/@LIBMODBUS_VERSION_MAJOR@/$major/" -e "s/@LIBMODBUS_VERSION_MINOR@/$minor/" \
    -e "s/@LIBMODBUS_VERSION_MICRO@/$micro/" -e "s/@LIBMODBUS_VERSION@/$version/g" \
    "$lib/src/modbus-version.h.in" >"$SYSROOT/usr/include/modbus/modbus-version.h"
cp "$lib"/src/{modbus.h,modbus-rtu.h,modbus-tcp.h} "$SYSROOT/usr/include/modbus/"
for c in modbus modbus-data modbus-rtu modbus-tcp; do
    clang --target=armv7-linux-musleabihf -mthumb --sysroot="$SYSROOT" -Os -Wall -I"$state" \
        -I"$SYSROOT/usr/include/modbus" -c "$lib/src/$c.c" -o "$state/$c.o"
done
arm-linux-gnueabihf-ar rcs "$SYSROOT/usr/lib/libmodbus.a" "$state"/modbus*.o
cat >"$SYSROOT/usr/lib/pkgconfig/libmodbus.pc" <<EOF
prefix=/usr
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: modbus
Description: Modbus library
Version: $version
Libs: -L\${libdir} -lmodbus
Cflags: -I\${includedir}/modbus
EOF

rm -rf "$state"
echo "$CONTENTS" >"$SYSROOT/.contents"
