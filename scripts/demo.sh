#!/usr/bin/env bash
# Shows wirebox bridging a serial device to TCP: builds it if needed, plays a device that answers
# each line in upper case on a pseudo-terminal, and serves that tty as a raw TCP stream on
# 127.0.0.1:12312. Ctrl-C stops everything it started.
set -euo pipefail

cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."
ROOT=$PWD
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
wirebox_ensure_packages build-essential cmake g++ pkg-config libmodbus-dev python3 netcat-openbsd

PORT=12312
BUILD=$ROOT/build-demo
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DWIREBOX_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2

RUN=$(mktemp -d -t wirebox-demo.XXXXXX)
TTY=$RUN/ttyDEMO
DEVICE_PID=""

cleanup() {
    trap - EXIT INT TERM
    if [ -n "$DEVICE_PID" ] && kill -0 "$DEVICE_PID" 2>/dev/null; then
        kill "$DEVICE_PID" 2>/dev/null || true
        wait "$DEVICE_PID" 2>/dev/null || true
    fi
    rm -rf "$RUN"
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM

/usr/bin/python3 scripts/demo_device.py "$TTY" &
DEVICE_PID=$!

# The device creates the link once its pty is ready; give it five seconds.
for _ in $(seq 50); do
    [ -L "$TTY" ] && break
    kill -0 "$DEVICE_PID" 2>/dev/null || { echo "the simulated device did not start" >&2; exit 1; }
    sleep 0.1
done
[ -L "$TTY" ] || { echo "the simulated device did not create $TTY" >&2; exit 1; }

cat <<INFO

wirebox serves the simulated device on 127.0.0.1:$PORT. In another terminal run:

    nc 127.0.0.1 $PORT

and type a line: the device answers it in upper case. Any number of clients may connect at
once; each sees the device's answers. Press Ctrl-C here to stop.

INFO

# Not exec'd: the traps must outlive wirebox to stop the device.
"$BUILD/wirebox" -vv -l serial "$TTY" -B 115200 -r raw 127.0.0.1 "$PORT"
