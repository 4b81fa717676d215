#!/usr/bin/env bash
# Installs the armhf cross compiler and qemu-user, then fills a sysroot (default build-arm/sysroot)
# with the armhf libraries the cross build links: libmodbus, and GoogleTest for the unit tests.
# The packages come from this machine's own Debian mirror through a private apt state, and are
# unpacked with dpkg-deb: armhf never joins dpkg's architectures (see wirebox_private_apt).
# Usage: scripts/arm-sysroot.sh [SYSROOT]. Does nothing once the sysroot is complete.
set -euo pipefail

cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
# shellcheck disable=SC2086 # a word list on purpose
wirebox_ensure_packages $WIREBOX_ARM_PACKAGES

SYSROOT=$(readlink -m "${1:-build-arm/sysroot}")
TARGET_PACKAGES="libmodbus5 libmodbus-dev libgtest-dev"
if [ "$(cat "$SYSROOT/.packages" 2>/dev/null)" = "$TARGET_PACKAGES" ]; then
    exit 0
fi

state=$SYSROOT.apt
rm -rf "$SYSROOT" "$state"
mkdir -p "$state/debs" "$SYSROOT"
wirebox_private_apt "$state" armhf
# shellcheck disable=SC2086 # a word list on purpose
(cd "$state/debs" && apt-get "${wirebox_apt[@]}" -q download $TARGET_PACKAGES)
for deb in "$state/debs"/*.deb; do
    dpkg-deb -x "$deb" "$SYSROOT"
done
rm -rf "$state"
echo "$TARGET_PACKAGES" >"$SYSROOT/.packages"
