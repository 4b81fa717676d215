# shellcheck shell=bash
# Sourced by the set-up scripts: installs the Debian packages wirebox builds, tests and
# benchmarks with, asking apt only when something is missing.

WIREBOX_PACKAGES="build-essential cmake g++ clang libclang-rt-14-dev clang-tidy cppcheck pkg-config libgtest-dev googletest libbenchmark-dev
libmodbus-dev python3 python3-pytest python3-serial python3-pymodbus python3-serial-asyncio mbpoll socat ser2net
groff-base dpkg-dev file systemd procps iproute2"
# shellcheck disable=SC2034 # used by the scripts that source this one
# The ARM stage only: the armhf cross compiler and the emulator its tests run under.
WIREBOX_ARM_PACKAGES="g++-arm-linux-gnueabihf qemu-user"

# Prints the packages of "$@" that dpkg does not list as installed.
wirebox_missing_packages() {
    local pkg status
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
        if [ "$status" != "install ok installed" ]; then
            echo "$pkg"
        fi
    done
}

# Installs whatever of "$@" (default: every package above) is missing.
wirebox_ensure_packages() {
    local missing sudo=""
    if [ "$#" -eq 0 ]; then
        # shellcheck disable=SC2086 # a word list on purpose
        set -- $WIREBOX_PACKAGES
    fi
    missing=$(wirebox_missing_packages "$@")
    if [ -z "$missing" ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "missing packages and not root: $missing" >&2
            return 1
        fi
        sudo="sudo"
    fi
    # shellcheck disable=SC2086 # one line, not one package per line
    echo "installing:" $missing
    # ser2net's package enables a system service on install; the benchmark starts its own
    # instance with its own configuration, so keep the packaged one from starting here.
    local policy=/usr/sbin/policy-rc.d added_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
        added_policy=1
    fi
    local rc=0
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q || rc=$?
    if [ "$rc" -eq 0 ]; then
        # shellcheck disable=SC2086
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            $missing || rc=$?
    fi
    if [ -n "$added_policy" ]; then
        $sudo rm -f "$policy"
    fi
    return "$rc"
}
