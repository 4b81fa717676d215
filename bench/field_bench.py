#!/usr/bin/python3
"""Field figures for wirebox, plain and gathering bursts, against ser2net, tuned and as packaged,
on the raw_bench set-up.

  - latency: one byte written on the pty, microseconds until one client has it (p50, p99);
  - one slow client among sixteen: fifteen clients read as fast as they can and one reads
    10 KB/s while the device writes as fast as the daemon takes its bytes; reported are the
    fast clients' rate (the slowest of the fifteen) and what became of the slow client;
  - line rate: the device writes at the pace of a 115200-baud line (11.5 KB/s, 16-byte pieces)
    to 1 and to 62 clients; reported is the daemon's CPU time per MB of tty data.

wirebox-gather is wirebox with burst gathering (--gather, "-I 1 -A 8"). Every byte a client
receives is checked. The figures are printed; nothing passes or fails.

Usage: /usr/bin/python3 bench/field_bench.py [--wirebox build-bench/wirebox] [--seconds 10]
"""
import argparse
import os
import random
import selectors
import shutil
import sys
import tempfile
import termios
import time

import raw_bench as rb

SLOW_RATE = 10_000  # bytes per second the slow client reads
LINE_RATE = 11_520  # bytes per second of a 115200-baud 8N1 line
PIECE = 16          # bytes per write of the device at line rate
LATENCY_ROUNDS = 300
GATHER = []         # wirebox-gather's serial options, from --gather


def wirebox_gather_command(binary, tty_path, port, workdir):
    """wirebox with the serial side's options of --gather before the remote section."""
    command = rb.wirebox_command(binary, tty_path, port, workdir)
    at = command.index("-r")
    return command[:at] + GATHER + command[at:]


rb.PEERS["wirebox-gather"] = (wirebox_gather_command, 62)


def cpu_ns(bridge):
    return rb.tree_cpu_and_switches(bridge.proc.pid)[0]


def daemon_side_state(port, peer_port):
    """State (hex code of /proc/net/tcp) of the daemon's socket to a client port."""
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(name) as f:
            for cols in (line.split() for line in list(f)[1:]):
                ports = [int(a.rsplit(":", 1)[1], 16) for a in cols[1:3]]
                if ports == [port, peer_port]:
                    return cols[3]
    return None


def least(got, clients):
    """MB the slowest of `clients` has received."""
    return min(got[s] for s in clients) / 1e6


def slow_among_sixteen(bridge, seconds, payload):
    """(fast clients' MB/s over the run, over its second half, the slow client's fate).

    The second half leaves out the start, while the slow client's socket buffers still take
    whatever comes: from then on a daemon that sends in step runs at the slow client's pace."""
    clients = bridge.connect(16)
    slow, fast = clients[0], clients[1:]
    size = len(payload)
    ring = memoryview(payload + payload)  # the device repeats payload; any offset reads flat
    sel = selectors.DefaultSelector()
    for s in fast:
        sel.register(s, selectors.EVENT_READ)
    sel.register(bridge.master, selectors.EVENT_WRITE)
    got = dict.fromkeys(clients, 0)
    buf = bytearray(262144)
    view = memoryview(buf)
    fate, sent, half, next_look = None, 0, None, 0.0
    slow_port = slow.getsockname()[1]

    def take(s, n):
        off = got[s] % size
        if view[:n] != ring[off:off + n]:
            raise ValueError(f"{bridge.name}: wrong bytes at offset {got[s]}")
        got[s] += n

    start = time.monotonic()
    while (now := time.monotonic()) < start + seconds:
        if half is None and now >= start + seconds / 2:
            half = (now, least(got, fast))
        # A dropped slow client sees the end of its stream only after reading what the buffers
        # still hold; the daemon's end of the connection leaves ESTABLISHED at once.
        if fate is None and now >= next_look:
            next_look = now + 0.2
            if daemon_side_state(bridge.port, slow_port) != rb.ESTABLISHED:
                fate = f"dropped after {now - start:.1f} s, fast at {least(got, fast):.0f} MB"
        budget = int(SLOW_RATE * (now - start)) - got[slow]
        if budget > 0:
            try:
                if (n := slow.recv_into(buf, min(budget, len(buf)))) > 0:
                    take(slow, n)
            except BlockingIOError:
                pass
        for key, _ in sel.select(0.01):
            try:
                if key.fileobj is bridge.master:
                    sent += os.write(bridge.master, ring[sent % size:sent % size + 65536])
                elif (n := key.fileobj.recv_into(buf)) == 0:
                    raise EOFError(f"{bridge.name} closed a fast client")
                else:
                    take(key.fileobj, n)
            except BlockingIOError:
                pass
    end = time.monotonic()
    sel.close()
    bridge.disconnect(clients)
    # What the daemon had not taken yet would reach the next run's clients before its marker.
    termios.tcflush(bridge.slave, termios.TCIFLUSH)
    fate = fate or f"kept, read {got[slow] / 1e6:.2f} MB in {end - start:.0f} s"
    done = least(got, fast)
    return done / (end - start), (done - half[1]) / (end - half[0]), fate


def one_byte_latency(bridge, rounds):
    """(p50, p99) microseconds from one byte written on the pty to its arrival at a client."""
    clients = bridge.connect(1)
    sel = selectors.DefaultSelector()
    sel.register(clients[0], selectors.EVENT_READ)
    times = []
    for i in range(rounds):
        byte = bytes([i & 0xFF])
        t0 = time.perf_counter()
        os.write(bridge.master, byte)
        if not sel.select(rb.WAIT):
            raise TimeoutError(f"{bridge.name}: a byte did not reach the client")
        got = clients[0].recv(16)
        times.append((time.perf_counter() - t0) * 1e6)
        if got != byte:
            raise ValueError(f"{bridge.name}: client got {got!r}, the tty sent {byte!r}")
    sel.close()
    bridge.disconnect(clients)
    times.sort()
    return times[len(times) // 2], times[min(len(times) - 1, int(len(times) * 0.99))]


def line_rate(bridge, count, seconds, payload):
    """Daemon CPU ms per MB of tty data written at line rate to `count` clients."""
    clients = bridge.connect(count)
    data = payload[:int(seconds * LINE_RATE) // PIECE * PIECE]
    sel = selectors.DefaultSelector()
    for s in clients:
        sel.register(s, selectors.EVENT_READ)
    got = {s: bytearray() for s in clients}
    written = 0
    cpu0 = cpu_ns(bridge)
    start = time.monotonic()
    deadline = start + seconds + rb.WAIT
    while any(len(b) < len(data) for b in got.values()):
        if time.monotonic() > deadline:
            raise TimeoutError(f"{bridge.name}: line rate to {count} clients did not complete")
        due = start + written / LINE_RATE
        while written < len(data) and time.monotonic() >= due:
            written += os.write(bridge.master, data[written:written + PIECE])
            due = start + written / LINE_RATE
        wait = max(0.0, due - time.monotonic()) if written < len(data) else 0.1
        for key, _ in sel.select(wait):
            got[key.fileobj] += key.fileobj.recv(65536)
    cpu = cpu_ns(bridge) - cpu0
    sel.close()
    if any(bytes(b) != data for b in got.values()):
        raise ValueError(f"{bridge.name}: a client received other bytes than the tty sent")
    bridge.disconnect(clients)
    return cpu / 1e6 / (len(data) / 1e6)


def measure(name, binary, args, payload, workdir):
    r = {}
    bridge = rb.Bridge(name, binary, workdir)
    try:
        r["latency p50"], r["latency p99"] = one_byte_latency(bridge, LATENCY_ROUNDS)
        r["fast MB/s"], r["fast MB/s 2nd half"], r["slow client"] = slow_among_sixteen(
            bridge, args.seconds, payload)
        for n in (1, 62):
            r[f"line {n}"] = line_rate(bridge, n, args.line_seconds, payload)
    except Exception as e:  # keep the figures measured so far
        print(f"  {name}: {e}\n  log: {bridge.log_text()}", file=sys.stderr)
    finally:
        bridge.stop()
    return r


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wirebox", default=os.path.join(rb.ROOT, "build-bench", "wirebox"))
    parser.add_argument("--ser2net", default=shutil.which("ser2net") or "/usr/sbin/ser2net")
    parser.add_argument("--only", default="wirebox,wirebox-gather,ser2net,ser2net-default")
    parser.add_argument("--gather", default="-I 1 -A 8", help="wirebox-gather's serial options")
    parser.add_argument("--seconds", type=float, default=12, help="slow-client run")
    parser.add_argument("--line-seconds", type=float, default=20, help="each line-rate run")
    args = parser.parse_args()
    GATHER[:] = args.gather.split()

    payload = random.Random(2217).randbytes(8 << 20)
    results = {}
    with tempfile.TemporaryDirectory(prefix="wirebox-bench.") as workdir:
        for name in args.only.split(","):
            binary = args.wirebox if name.startswith("wirebox") else args.ser2net
            print(f"measuring {name} ({binary})", file=sys.stderr)
            results[name] = measure(name, os.path.realpath(binary), args, payload, workdir)

    names = list(results)
    print(f"\n{'':36}" + "".join(f"{n:>34}" for n in names))
    rows = [("one byte tty->client: p50 us", "latency p50", "{:.0f}"),
            ("one byte tty->client: p99 us", "latency p99", "{:.0f}"),
            ("16 clients, one slow: fast MB/s", "fast MB/s", "{:.3f}"),
            ("  the same over the second half", "fast MB/s 2nd half", "{:.3f}"),
            ("16 clients, one slow: slow client", "slow client", "{}"),
            ("line rate, 1 client: CPU ms/MB", "line 1", "{:.1f}"),
            ("line rate, 62 clients: CPU ms/MB", "line 62", "{:.1f}")]
    for label, key, fmt in rows:
        cells = [fmt.format(results[n][key]) if key in results[n] else "-" for n in names]
        print(f"{label:36}" + "".join(f"{c:>34}" for c in cells))
    ratios = [("gathering / plain wirebox: fast MB/s", "wirebox", "fast MB/s"),
              ("gathering / ser2net as packaged: line 1", "ser2net-default", "line 1"),
              ("gathering / ser2net as packaged: line 62", "ser2net-default", "line 62")]
    for label, other, key in ratios:
        mine, theirs = (results.get(n, {}).get(key) for n in ("wirebox-gather", other))
        if mine is not None and theirs:
            print(f"{label:44}{mine / theirs:.2f}")
    print(f"\nlatency over {LATENCY_ROUNDS} bytes, one at a time; slow-client run "
          f"{args.seconds:g} s; line-rate runs {args.line_seconds:g} s each at {LINE_RATE} B/s "
          f"in {PIECE}-byte writes. wirebox-gather is wirebox {args.gather}; ser2net-default is "
          "ser2net as packaged but for max-connections.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
