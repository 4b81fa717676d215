#!/usr/bin/python3
"""Raw TCP bridge figures for wirebox, socat and ser2net on the same pseudo-terminal set-up.

Every daemon serves the tty end of a fresh raw pty on 127.0.0.1; this program plays the device on
the master end and the TCP clients. It measures, with the same harness for each daemon:

  - tty to network: MiB through the pty to 1, 16 and 62 clients, MB/s to the slowest client;
  - network to tty: MiB from one client to the pty, MB/s;
  - round-trip latency of one byte, client -> daemon -> pty echo -> daemon -> client;
  - peak and private memory, stripped binary size, shared libraries, CPU time per MB moved,
    context switches and CPU time over idle seconds with one client connected.

Every byte is verified. The figures are printed; nothing passes or fails.
socat forks a child per connection that locks the tty, so it is measured with one client only.

Usage: /usr/bin/python3 bench/raw_bench.py [--wirebox build-bench/wirebox] [--mib 8]
"""
import argparse
import os
import pty
import random
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "127.0.0.1"
BAUD = 115200
WAIT = 10.0  # bound of every wait for a daemon, a connection or a byte


# ---------------------------------------------------------------------------------------------
# /proc readings

def proc_tree(pid):
    """pid and all its descendants (socat serves each connection in a forked child)."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(children.get(p, []))
    return tree


def status_fields(pid):
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.split()
    except OSError:
        pass
    return fields


def tree_kib(pid, field):
    """Sum of a status memory field (kB) over the process tree."""
    total = 0
    for p in proc_tree(pid):
        value = status_fields(p).get(field)
        if value:
            total += int(value[0])
    return total


def tree_cpu_and_switches(pid):
    """(CPU nanoseconds, context switches) summed over every thread of the process tree."""
    cpu_ns, switches = 0, 0
    for p in proc_tree(pid):
        try:
            tids = os.listdir(f"/proc/{p}/task")
        except OSError:
            continue
        for tid in tids:
            base = f"/proc/{p}/task/{tid}"
            try:
                with open(base + "/schedstat") as f:
                    cpu_ns += int(f.read().split()[0])
            except OSError:
                continue
            fields = status_fields(f"{p}/task/{tid}")
            for key in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
                if key in fields:
                    switches += int(fields[key][0])
    return cpu_ns, switches


def tcp_states(port):
    """States (hex codes of /proc/net/tcp) of the sockets whose local port is `port`."""
    states = []
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(name) as f:
                next(f)
                for line in f:
                    cols = line.split()
                    if int(cols[1].rsplit(":", 1)[1], 16) == port:
                        states.append(cols[3])
        except OSError:
            pass
    return states


LISTEN, ESTABLISHED, CLOSE_WAIT = "0A", "01", "08"


def wait_until(cond, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.01)


# ---------------------------------------------------------------------------------------------
# the peers

def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wirebox_command(binary, tty_path, port, workdir):
    return [binary, "-l", "serial", tty_path, "-B", str(BAUD), "-r", "raw", HOST, str(port)]


def socat_command(binary, tty_path, port, workdir):
    return [binary, f"TCP-LISTEN:{port},bind={HOST},reuseaddr,fork",
            f"{tty_path},rawer,b{BAUD},flock-ex"]


# ser2net's defaults hold device data for about a millisecond and move it in 64-byte buffers;
# the tuned set-up turns the delay off and uses 4096-byte buffers, its best raw figures.
SER2NET_TUNING = """      chardelay: false
      dev-to-net-bufsize: 4096
      net-to-dev-bufsize: 4096
"""


def ser2net_command(binary, tty_path, port, workdir, tuning=SER2NET_TUNING):
    config = os.path.join(workdir, "ser2net.yaml")
    with open(config, "w") as f:
        f.write(f"""%YAML 1.1
---
connection: &bench
    accepter: tcp,{HOST},{port}
    enable: on
    connector: serialdev,{tty_path},{BAUD}n81,local
    options:
      max-connections: 64
{tuning}""")
    # -n -d: foreground, log to standard output. -u: no UUCP lock files (the others take none
    # either). No -P, so no pid file is written and the packaged service's cannot clash.
    return [binary, "-n", "-d", "-u", "-c", config]


def ser2net_default_command(binary, tty_path, port, workdir):
    """ser2net as packaged, but for the number of connections (its default is one)."""
    return ser2net_command(binary, tty_path, port, workdir, tuning="")


PEERS = {
    "wirebox": (wirebox_command, 62),
    "socat": (socat_command, 1),
    "ser2net": (ser2net_command, 62),
    "ser2net-default": (ser2net_default_command, 62),
}


class Bridge:
    """One daemon serving a fresh raw pty on a free loopback port."""

    def __init__(self, name, binary, workdir):
        self.name, self.binary = name, binary
        self.master, self.slave = pty.openpty()
        # Both ends raw, and the slave stays open here: without it the master reads EIO
        # whenever the daemon has closed the tty between connections.
        tty.setraw(self.master)
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.tty_path = os.ttyname(self.slave)
        self.port = free_port()
        command, self.max_clients = PEERS[name]
        self.log_path = os.path.join(workdir, f"{name}.log")
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(command(binary, self.tty_path, self.port, workdir),
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        wait_until(lambda: LISTEN in tcp_states(self.port) or self.proc.poll() is not None,
                   f"{name} listening on {self.port}")
        if self.proc.poll() is not None:
            raise RuntimeError(f"{name} exited with {self.proc.returncode}: {self.log_text()}")

    def log_text(self):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read()[-2000:].decode(errors="replace")

    def alive(self):
        return self.proc.poll() is None

    def connect(self, count):
        """Connects `count` clients and returns them once each receives what the tty sends.

        Probe bytes go into the pty until every client has received one; a marker then closes
        the probes, so each client's stream is clean from the byte after the marker on."""
        clients = []
        for _ in range(count):
            s = socket.create_connection((HOST, self.port), timeout=WAIT)
            s.setblocking(False)
            clients.append(s)
        sel = selectors.DefaultSelector()
        for s in clients:
            sel.register(s, selectors.EVENT_READ)
        probed = set()
        deadline = time.monotonic() + WAIT
        next_probe = 0.0
        while len(probed) < len(clients):
            now = time.monotonic()
            if now > deadline:
                raise TimeoutError(f"{self.name}: {len(probed)} of {count} clients got the probe")
            if now >= next_probe:
                os.write(self.master, b"P")
                next_probe = now + 0.05
            for key, _ in sel.select(0.01):
                data = key.fileobj.recv(65536)
                if not data:
                    raise EOFError(f"{self.name} closed a client while probing")
                probed.add(key.fileobj)
        os.write(self.master, b"M")
        for s in clients:
            self._read_through_marker(s, sel)
        sel.close()
        self.drain_master()
        return clients

    def _read_through_marker(self, s, sel):
        deadline = time.monotonic() + WAIT
        while True:
            try:
                data = s.recv(1)
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"{self.name}: marker did not arrive")
                sel.select(0.05)
                continue
            if not data:
                raise EOFError(f"{self.name} closed a client before the marker")
            if data == b"M":
                return
            if data != b"P":
                raise ValueError(f"{self.name}: unexpected byte {data!r} before the marker")

    def drain_master(self):
        while True:
            try:
                if not os.read(self.master, 65536):
                    return
            except (BlockingIOError, OSError):
                return

    def disconnect(self, clients):
        for s in clients:
            s.close()
        # The daemon has let go of them once none of its sockets is established or half-closed.
        wait_until(lambda: not any(st in (ESTABLISHED, CLOSE_WAIT) for st in tcp_states(self.port)),
                   f"{self.name} dropping its clients")
        # socat's per-connection child must be gone too, or its tty lock stays.
        wait_until(lambda: len(proc_tree(self.proc.pid)) == 1 or self.name != "socat",
                   f"{self.name} child exiting")
        self.drain_master()

    def stop(self):
        for pid in reversed(proc_tree(self.proc.pid)):
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            for pid in reversed(proc_tree(self.proc.pid)):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.proc.wait(5)
        self.log.close()
        os.close(self.master)
        os.close(self.slave)


# ---------------------------------------------------------------------------------------------
# measurements

def tty_to_net(bridge, clients, payload):
    """Streams payload into the pty; returns (MB/s to the slowest client, CPU ns used)."""
    total = len(payload)
    sel = selectors.DefaultSelector()
    got = {}
    for s in clients:
        sel.register(s, selectors.EVENT_READ)
        got[s] = 0
    sel.register(bridge.master, selectors.EVENT_WRITE)
    buf = bytearray(262144)
    view = memoryview(buf)
    pview = memoryview(payload)
    sent, done, last = 0, 0, 0.0
    cpu0, _ = tree_cpu_and_switches(bridge.proc.pid)
    start = time.monotonic()
    deadline = start + 120
    while done < len(clients):
        if time.monotonic() > deadline:
            raise TimeoutError(f"tty to network: {done} of {len(clients)} clients complete, "
                               f"slowest at {min(got.values())} of {total}")
        for key, _ in sel.select(1.0):
            if key.fileobj == bridge.master:
                try:
                    sent += os.write(bridge.master, payload[sent:sent + 65536])
                except BlockingIOError:
                    continue
                if sent == total:
                    sel.unregister(bridge.master)
                continue
            s = key.fileobj
            try:
                n = s.recv_into(buf)
            except BlockingIOError:
                continue
            if n == 0:
                raise EOFError("tty to network: daemon closed a client")
            off = got[s]
            if off + n > total or view[:n] != pview[off:off + n]:
                raise ValueError(f"tty to network: wrong bytes at offset {off}")
            got[s] = off + n
            if got[s] == total:
                done += 1
                last = time.monotonic()
                sel.unregister(s)
    cpu1, _ = tree_cpu_and_switches(bridge.proc.pid)
    sel.close()
    return total / (last - start) / 1e6, cpu1 - cpu0


def net_to_tty(bridge, client, payload):
    """Sends payload from one client to the pty; returns (MB/s, CPU ns used)."""
    total = len(payload)
    sel = selectors.DefaultSelector()
    sel.register(client, selectors.EVENT_WRITE)
    sel.register(bridge.master, selectors.EVENT_READ)
    sent, got = 0, 0
    pv = memoryview(payload)
    cpu0, _ = tree_cpu_and_switches(bridge.proc.pid)
    start = time.monotonic()
    deadline = start + 120
    while got < total:
        if time.monotonic() > deadline:
            raise TimeoutError(f"network to tty: {got} of {total} bytes")
        for key, _ in sel.select(1.0):
            if key.fileobj == client:
                try:
                    sent += client.send(pv[sent:sent + 65536])
                except BlockingIOError:
                    continue
                if sent == total:
                    sel.unregister(client)
                continue
            try:
                data = os.read(bridge.master, 65536)
            except BlockingIOError:
                continue
            if got + len(data) > total or data != pv[got:got + len(data)]:
                raise ValueError(f"network to tty: wrong bytes at offset {got}")
            got += len(data)
    end = time.monotonic()
    cpu1, _ = tree_cpu_and_switches(bridge.proc.pid)
    sel.close()
    return total / (end - start) / 1e6, cpu1 - cpu0


def round_trips(bridge, client, count):
    """One byte client -> pty, echoed on the pty, back to the client; microseconds each."""
    sel_sock = selectors.DefaultSelector()
    sel_sock.register(client, selectors.EVENT_READ)
    sel_tty = selectors.DefaultSelector()
    sel_tty.register(bridge.master, selectors.EVENT_READ)
    times = []
    for i in range(count):
        byte = bytes([i & 0xFF])
        t0 = time.perf_counter()
        client.send(byte)
        if not sel_tty.select(WAIT):
            raise TimeoutError("latency: byte did not reach the tty")
        echoed = os.read(bridge.master, 16)
        if echoed != byte:
            raise ValueError(f"latency: tty got {echoed!r}, sent {byte!r}")
        os.write(bridge.master, echoed)
        if not sel_sock.select(WAIT):
            raise TimeoutError("latency: echo did not reach the client")
        back = client.recv(16)
        times.append((time.perf_counter() - t0) * 1e6)
        if back != byte:
            raise ValueError(f"latency: client got {back!r}, sent {byte!r}")
    sel_sock.close()
    sel_tty.close()
    times.sort()
    return times[len(times) // 2], times[min(len(times) - 1, int(len(times) * 0.99))]


def idle(bridge, seconds):
    """(context switches, CPU ms) of the daemon over `seconds` with nothing to move."""
    cpu0, sw0 = tree_cpu_and_switches(bridge.proc.pid)
    time.sleep(seconds)  # the measurement window itself, not a wait for anything
    cpu1, sw1 = tree_cpu_and_switches(bridge.proc.pid)
    return sw1 - sw0, (cpu1 - cpu0) / 1e6


def binary_facts(binary, workdir):
    copy = os.path.join(workdir, os.path.basename(binary) + ".stripped")
    shutil.copyfile(binary, copy)
    subprocess.run(["strip", copy], check=True)
    size = os.path.getsize(copy)
    os.unlink(copy)
    out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    libs = sum(1 for line in out.splitlines() if "=>" in line)
    return size, libs


def measure(name, binary, payload, args, workdir):
    """Runs every measurement on one daemon; returns {metric: value} (None where not run)."""
    r = {}
    r["binary KiB"], r["shared libraries"] = binary_facts(binary, workdir)
    r["binary KiB"] /= 1024
    bridge = Bridge(name, binary, workdir)
    mb = len(payload) / 1e6

    def step(label, fn):
        if not bridge.alive():
            print(f"  {name}: not running before {label}", file=sys.stderr)
            return
        try:
            fn()
        except Exception as e:  # one failed step must not hide the others' figures
            print(f"  {name}: {label} failed: {e}", file=sys.stderr)
            print(f"  {name} log: {bridge.log_text()}", file=sys.stderr)

    try:
        r["RssAnon idle KiB"] = tree_kib(bridge.proc.pid, "RssAnon")

        def latency():
            clients = bridge.connect(1)
            r["latency p50 us"], r["latency p99 us"] = round_trips(bridge, clients[0], args.rounds)
            sw, cpu = idle(bridge, args.idle)
            r[f"idle {args.idle:g}s: context switches"] = sw
            r[f"idle {args.idle:g}s: CPU ms"] = cpu
            bridge.disconnect(clients)

        def fan_out(n):
            def run():
                clients = bridge.connect(n)
                rate, cpu = tty_to_net(bridge, clients, payload)
                r[f"tty->net {n} client(s) MB/s"] = rate
                r[f"tty->net {n} client(s) CPU ms/MB"] = cpu / 1e6 / mb
                if n == 16 or (n == 1 and bridge.max_clients == 1):
                    r["VmHWM after 16 clients KiB"] = tree_kib(bridge.proc.pid, "VmHWM")
                bridge.disconnect(clients)
            return run

        def inbound():
            clients = bridge.connect(1)
            rate, cpu = net_to_tty(bridge, clients[0], payload)
            r["net->tty MB/s"] = rate
            r["net->tty CPU ms/MB"] = cpu / 1e6 / mb
            bridge.disconnect(clients)

        def after_62():
            r["RssAnon after 62 clients KiB"] = tree_kib(bridge.proc.pid, "RssAnon")

        step("latency and idle", latency)
        step("tty to network, 1 client", fan_out(1))
        step("network to tty", inbound)
        for n in (16, 62):
            if n <= bridge.max_clients:
                step(f"tty to network, {n} clients", fan_out(n))
        if bridge.max_clients >= 62:
            step("memory after 62 clients", after_62)
    finally:
        bridge.stop()
    return r


ROWS = [
    ("tty->net 1 client(s) MB/s", "{:.1f}", "higher"),
    ("tty->net 16 client(s) MB/s", "{:.1f}", "higher"),
    ("tty->net 62 client(s) MB/s", "{:.1f}", "higher"),
    ("net->tty MB/s", "{:.1f}", "higher"),
    ("latency p50 us", "{:.0f}", "lower"),
    ("latency p99 us", "{:.0f}", "lower"),
    ("tty->net 1 client(s) CPU ms/MB", "{:.2f}", "lower"),
    ("tty->net 16 client(s) CPU ms/MB", "{:.2f}", "lower"),
    ("tty->net 62 client(s) CPU ms/MB", "{:.2f}", "lower"),
    ("net->tty CPU ms/MB", "{:.2f}", "lower"),
    ("VmHWM after 16 clients KiB", "{:.0f}", "lower"),
    ("RssAnon idle KiB", "{:.0f}", "lower"),
    ("RssAnon after 62 clients KiB", "{:.0f}", "lower"),
    ("binary KiB", "{:.0f}", "lower"),
    ("shared libraries", "{:.0f}", "lower"),
    ("idle {idle}s: context switches", "{:.0f}", "lower"),
    ("idle {idle}s: CPU ms", "{:.2f}", "lower"),
]


def print_table(results, args):
    names = list(results)
    others = [n for n in names if n != "wirebox"]
    head = f"{'':34}" + "".join(f"{n:>16}" for n in names)
    if "wirebox" in results:
        head += "".join(f"{n + '/wb':>19}" for n in others)
    print(head)
    for key, fmt, better in ROWS:
        key = key.format(idle=f"{args.idle:g}")
        line = f"{key + ' (' + better + ')':34}"
        for n in names:
            v = results[n].get(key)
            line += f"{(fmt.format(v) if v is not None else '-'):>16}"
        base = results.get("wirebox", {}).get(key)
        for n in others if "wirebox" in results else []:
            v = results[n].get(key)
            ratio = f"{v / base:.2f}" if v is not None and base else "-"
            line += f"{ratio:>19}"
        print(line)
    print("\nsocat serves each connection in a forked child that locks the tty, so it runs the\n"
          "one-client cases only; its memory and CPU are summed over the parent and that child.\n"
          "Columns <peer>/wb give the peer's figure divided by wirebox's.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    default = os.path.join(ROOT, "build-bench", "wirebox")
    parser.add_argument("--wirebox", default=default, help="wirebox binary (default %(default)s)")
    parser.add_argument("--socat", default=shutil.which("socat") or "/usr/bin/socat")
    parser.add_argument("--ser2net", default=shutil.which("ser2net") or "/usr/sbin/ser2net")
    parser.add_argument("--only", default="wirebox,socat,ser2net",
                        help="comma-separated daemons to measure")
    parser.add_argument("--mib", type=float, default=8, help="MiB per throughput run")
    parser.add_argument("--rounds", type=int, default=2000, help="latency exchanges")
    parser.add_argument("--idle", type=float, default=5, help="idle window in seconds")
    args = parser.parse_args()

    payload = random.Random(2217).randbytes(int(args.mib * 1024 * 1024))
    binaries = {"wirebox": args.wirebox, "socat": args.socat, "ser2net": args.ser2net,
                "ser2net-default": args.ser2net}
    results = {}
    with tempfile.TemporaryDirectory(prefix="wirebox-bench.") as workdir:
        for name in args.only.split(","):
            binary = binaries[name]
            if not os.access(binary, os.X_OK):
                print(f"{name}: no executable at {binary}, skipped", file=sys.stderr)
                continue
            print(f"measuring {name} ({binary})", file=sys.stderr)
            try:
                results[name] = measure(name, os.path.realpath(binary), payload, args, workdir)
            except Exception as e:
                print(f"{name}: {e}", file=sys.stderr)
    print(f"\n{args.mib:g} MiB per throughput run, {args.rounds} latency exchanges, "
          f"pty at {BAUD} baud (not timed by the kernel)\n")
    print_table(results, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
