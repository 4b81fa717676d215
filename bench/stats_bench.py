#!/usr/bin/python3
"""What the statistics cost: the daemon's CPU time for one SIGUSR1 report with 62 raw clients
connected, with the report logged (-vv to a file, as a journal would take it) and with logging
off, and its wake-ups over an idle window afterwards (a report must leave nothing running).

Every report is waited for (its last line counted) before the next signal. The figures are
printed; nothing passes or fails.

Usage: /usr/bin/python3 bench/stats_bench.py [--wirebox build-bench/wirebox] [--reports 200]
"""
import argparse
import os
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import raw_bench as rb  # noqa: E402  (the daemon set-up, the clients and the /proc readings)

CLIENTS = 62


def reports_logged(bridge):
    with open(bridge.log_path, "rb") as f:
        return f.read().count(b"stats process ")


def reports(bridge, count, logged):
    """CPU microseconds per report, each signal sent once the previous report has begun, so
    that no two signals merge into one report."""
    cpu0, _ = rb.tree_cpu_and_switches(bridge.proc.pid)
    for i in range(count):
        bridge.proc.send_signal(signal.SIGUSR1)
        if logged:
            rb.wait_until(lambda: reports_logged(bridge) > i, "a report")
        else:
            time.sleep(0.002)  # nothing to wait for: the signals are only paced
    cpu1, _ = rb.tree_cpu_and_switches(bridge.proc.pid)
    return (cpu1 - cpu0) / 1e3 / count


def main():
    default = os.path.join(rb.ROOT, "build-bench", "wirebox")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wirebox", default=default, help="wirebox binary (default %(default)s)")
    parser.add_argument("--reports", type=int, default=200)
    parser.add_argument("--idle", type=float, default=5, help="idle window in seconds")
    args = parser.parse_args()
    print(f"{CLIENTS} raw clients, {args.reports} reports each way")
    for verbosity, logged in (("-vv", True), ("-q", False)):
        rb.PEERS["wirebox"] = (lambda binary, tty_path, port, workdir:
                               [binary, verbosity, "-l", "serial", tty_path, "-B", str(rb.BAUD),
                                "-r", "raw", rb.HOST, str(port)], CLIENTS)
        with tempfile.TemporaryDirectory() as workdir:
            bridge = rb.Bridge("wirebox", args.wirebox, workdir)
            try:
                clients = bridge.connect(CLIENTS)
                us = reports(bridge, args.reports, logged)
                switches, cpu = rb.idle(bridge, args.idle)
                print(f"  {verbosity}: {us:.0f} us CPU per report; then idle {args.idle:g} s: "
                      f"{switches} context switches, {cpu:.2f} ms CPU")
                bridge.disconnect(clients)
            finally:
                bridge.stop()


if __name__ == "__main__":
    main()
