#!/usr/bin/env bash
# Installs the armhf cross compiler and qemu-user, then fills a sysroot (default build-arm/sysroot)
# with the armhf libraries the cross build links: libmodbus, and GoogleTest for the unit tests.
# The packages come from this machine's own Debian mirror through a private apt state, and are
# unpacked with dpkg-deb: armhf never joins dpkg's architectures, whose multiarch rules would
# ask for the same libmodbus-dev version on both sides and can break every later apt-get update.
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

# The first mirror this machine's apt uses for its release, from deb822 or one-line sources.
# Prints "URI KEYRING" (KEYRING may be empty).
mirror() {
    local codename=$1 f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        awk -v suite="$codename" '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uri != "") {
                    print uri, key; found = 1; exit
                }
                types = suites = uri = key = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
            /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
            /^URIs:/ { uri = $2 }
            /^Signed-By:/ { if ($2 ~ /^\//) key = $2 }  # a keyring file, not an inline key
            END { if (!found) flush() }' "$f"
    done
    if [ -e /etc/apt/sources.list ]; then
        # deb [options] URI suite components...
        sed -n "s/^deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]\+\)[ \t]\+${codename}[ \t].*/\2/p" \
            /etc/apt/sources.list
    fi
}

# shellcheck source=/dev/null
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
read -r url keyring < <(mirror "$codename" | head -n 1) || true
if [ -z "${url:-}" ]; then
    echo "no apt source for $codename found in /etc/apt" >&2
    exit 1
fi
keyring=${keyring:-/usr/share/keyrings/debian-archive-keyring.gpg}
echo "armhf sysroot $SYSROOT from $url $codename"

state=$SYSROOT.apt
rm -rf "$SYSROOT" "$state"
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs" "$SYSROOT"
: >"$state/status"
echo "deb [arch=armhf signed-by=$keyring] $url $codename main" >"$state/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=-
    -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
    -o "Dir::Cache=$state/cache" -o APT::Architecture=armhf -o APT::Architectures::=armhf
    -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -q update
# shellcheck disable=SC2086 # a word list on purpose
(cd "$state/debs" && apt-get "${apt_opts[@]}" -q download $TARGET_PACKAGES)
for deb in "$state/debs"/*.deb; do
    dpkg-deb -x "$deb" "$SYSROOT"
done
rm -rf "$state"
echo "$TARGET_PACKAGES" >"$SYSROOT/.packages"
