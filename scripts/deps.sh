# shellcheck shell=bash
# Sourced by the set-up scripts: installs the Debian packages wirebox builds, tests and
# benchmarks with, asking apt only when something is missing, and fetches target packages for
# the cross builds through an apt state of their own.

WIREBOX_PACKAGES="build-essential cmake g++ clang libclang-rt-14-dev clang-tidy cppcheck pkg-config libgtest-dev googletest libbenchmark-dev
libmodbus-dev python3 python3-pytest python3-serial python3-pymodbus python3-serial-asyncio mbpoll socat ser2net
groff-base dpkg-dev file systemd procps iproute2"
# shellcheck disable=SC2034 # used by the scripts that source this one
# The ARM stage only: the armhf cross compiler and the emulator its tests run under.
WIREBOX_ARM_PACKAGES="g++-arm-linux-gnueabihf qemu-user"
# shellcheck disable=SC2034
# The static musl stage: clang and ld.lld build and link; the armhf cross compiler brings libgcc,
# the start files, libstdc++'s headers and binutils for ARM; dpkg-source unpacks libmodbus.
WIREBOX_MUSL_PACKAGES="clang lld g++-arm-linux-gnueabihf qemu-user dpkg-dev"

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

# The first mirror this machine's apt uses for its release $1, from deb822 or one-line sources.
# Prints "URI KEYRING" (KEYRING may be empty).
wirebox_apt_mirror() {
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

# Makes the folder $1 an apt state of its own for the architecture $2, reading this machine's
# own mirror (its source packages too when $3 is "deb-src"), and updates its lists. Leaves in
# the array wirebox_apt the options that point apt-get at it. dpkg's own state and architectures
# are never touched: adding a foreign architecture would ask for the same version of every
# multiarch package on both sides and can break every later apt-get update.
wirebox_private_apt() {
    local state=$1 arch=$2 codename url keyring
    # shellcheck source=/dev/null
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    read -r url keyring < <(wirebox_apt_mirror "$codename" | head -n 1) || true
    if [ -z "${url:-}" ]; then
        echo "no apt source for $codename found in /etc/apt" >&2
        return 1
    fi
    keyring=${keyring:-/usr/share/keyrings/debian-archive-keyring.gpg}
    echo "$arch packages from $url $codename"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    : >"$state/status"
    echo "deb [arch=$arch signed-by=$keyring] $url $codename main" >"$state/sources.list"
    if [ "${3:-}" = deb-src ]; then
        echo "deb-src [signed-by=$keyring] $url $codename main" >>"$state/sources.list"
    fi
    wirebox_apt=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=-
        -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
        -o "Dir::Cache=$state/cache" -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
        -o APT::Sandbox::User=root)
    apt-get "${wirebox_apt[@]}" -q update
}
