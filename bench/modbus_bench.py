#!/usr/bin/python3
"""Modbus gateway figures: wirebox between C Modbus TCP clients and a libmodbus RTU device on a
pty, against one RTU master talking to the same device on the same pty (the ceiling).

The device (build/modbus_slave) answers unit 17 on the pty's master end, either at once (bare
pty) or after the time the request and the answer would take on a real line at the baud rate
(10 bits per character plus the 3.5-character silence). Each load run (build/modbus_load) reads
10 holding registers in a loop for a bounded time. Printed per line mode and C: transactions per
second, p50/p99 latency, errors, the ratio to the direct master, wirebox's CPU time per
transaction (/proc/PID/schedstat); then peak resident memory, and context switches and CPU time
over idle seconds with clients connected. Nothing passes or fails.

Usage: /usr/bin/python3 bench/modbus_bench.py [--build build] [--seconds 3] [--idle 5]
"""
import argparse
import os
import pty
import socket
import subprocess
import time
import tty

HOST = "127.0.0.1"
UNIT = "17"


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def schedstat(pid):
    """CPU ns, wait ns, timeslices of every thread."""
    total = [0, 0, 0]
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total = [a + int(b) for a, b in zip(total, f.read().split())]
    return total


def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def load(build, mode, target, arg, clients, seconds):
    out = subprocess.run([f"{build}/modbus_load", mode, target, str(arg), str(clients),
                          str(seconds), UNIT], check=True, capture_output=True, text=True,
                         timeout=seconds + 60).stdout.split()
    n, errors, p50, p99, took = (int(out[0]), int(out[1]), float(out[2]), float(out[3]),
                                 float(out[4]))
    return {"tps": n / took, "n": n, "errors": errors, "p50": p50, "p99": p99}


def connect_when_listening(port, deadline=10):
    end = time.monotonic() + deadline
    while True:
        try:
            return socket.create_connection((HOST, port), timeout=5)
        except ConnectionRefusedError:
            if time.monotonic() > end:
                raise
            time.sleep(0.01)


def line_mode(args, label, baud, cs):
    master, slave = pty.openpty()
    for fd in (master, slave):
        tty.setraw(fd)
    path = os.ttyname(slave)
    device = subprocess.Popen([f"{args.build}/modbus_slave", str(master), UNIT]
                              + (["-l", str(baud)] if label != "bare pty" else []),
                              pass_fds=[master])
    procs = [device]
    try:
        direct = load(args.build, "rtu", path, baud, 1, args.seconds)
        port = free_port()
        wb = subprocess.Popen([f"{args.build}/wirebox", "-q", "-l", "modbusrtu", path, "-B",
                               str(baud), "-r", "modbustcp", HOST, str(port)])
        procs.append(wb)
        connect_when_listening(port).close()
        print(f"\n{label}: direct RTU master {direct['tps']:.0f} tps, p50 {direct['p50']:.0f} us,"
              f" p99 {direct['p99']:.0f} us, errors {direct['errors']}")
        print(f"{'C':>3} {'tps':>8} {'ratio':>6} {'p50 us':>8} {'p99 us':>8} {'errors':>6}"
              f" {'CPU us/tr':>9}")
        for c in cs:
            before = schedstat(wb.pid)[0]
            r = load(args.build, "tcp", HOST, port, c, args.seconds)
            cpu = (schedstat(wb.pid)[0] - before) / 1000 / max(r["n"], 1)
            print(f"{c:>3} {r['tps']:>8.0f} {r['tps'] / direct['tps']:>6.2f} {r['p50']:>8.0f}"
                  f" {r['p99']:>8.0f} {r['errors']:>6} {cpu:>9.1f}")
        if label == "bare pty":
            idle(args, wb.pid, port)
    finally:
        for p in procs:
            p.kill()
            p.wait(5)
        os.close(master)
        os.close(slave)


def idle(args, pid, port):
    clients = [connect_when_listening(port) for _ in range(4)]
    time.sleep(0.2)  # let the tty open for them
    switches = lambda: (status(pid, "voluntary_ctxt_switches")
                        + status(pid, "nonvoluntary_ctxt_switches"))
    cs0, cpu0 = switches(), schedstat(pid)[0]
    time.sleep(args.idle)
    print(f"idle {args.idle:g} s with 4 clients connected: {switches() - cs0} context switches,"
          f" {(schedstat(pid)[0] - cpu0) / 1e6:.3f} ms CPU; VmHWM {status(pid, 'VmHWM')} KiB")
    for s in clients:
        s.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--idle", type=float, default=5)
    args = ap.parse_args()
    print(f"each run {args.seconds:g} s; {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.2f} (figures move with whatever else runs)")
    line_mode(args, "bare pty", 115200, [1, 4, 16])
    line_mode(args, "simulated line 115200 baud", 115200, [1, 4, 16])
    line_mode(args, "simulated line 9600 baud", 9600, [1, 4, 16])


if __name__ == "__main__":
    main()
