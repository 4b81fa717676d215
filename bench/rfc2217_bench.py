#!/usr/bin/python3
"""RFC 2217 bridge figures: wirebox's rfc2217 side against ser2net's RFC 2217 accepter, with
wirebox's raw side in the same run as the reference.

Every daemon serves the tty end of a fresh raw pty on 127.0.0.1; this program plays the device
on the master end and one TCP client, which for the two RFC 2217 peers speaks Telnet: it offers
WILL COM-PORT-OPTION and BINARY both ways, escapes 0xFF on the way out and decodes what comes
back. It measures, with the same harness for each daemon:

  - tty to network and network to tty: MiB of random bytes (all 256 values, so escaping is
    exercised), MB/s of payload, and the daemon's CPU time per MB;
  - SET-BAUDRATE: time from sending the request to receiving its answer, alternating between
    two rates so that every request changes the line (RFC 2217 peers only).

Every byte is verified. The figures are printed; nothing passes or fails.

Usage: /usr/bin/python3 bench/rfc2217_bench.py [--wirebox build-bench/wirebox] [--mib 8]
"""
import argparse
import os
import random
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import raw_bench as rb  # noqa: E402  (the /proc readings and the pty set-up are shared)

HOST, BAUD, WAIT = rb.HOST, rb.BAUD, rb.WAIT
IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
COM_PORT, BINARY = 44, 0
RATES = (38400, 57600)


class TelnetDecoder:
    """Incremental Telnet decoder: returns the data bytes; completed subnegotiation bodies
    collect in `answers`. Option commands are dropped."""

    def __init__(self):
        self.state, self.sb, self.answers = 0, bytearray(), []

    def feed(self, data):
        if self.state == 0:
            # The usual chunk: data with every 0xFF doubled and nothing else; C-speed path.
            parts = data.split(b"\xff\xff")
            if not any(b"\xff" in p for p in parts):
                return b"\xff".join(parts)
        out = bytearray()
        i, n = 0, len(data)
        while i < n:
            st = self.state
            if st in (0, 3):  # data, or a subnegotiation body
                j = data.find(b"\xff", i)
                target = out if st == 0 else self.sb
                if j < 0:
                    target += data[i:]
                    break
                target += data[i:j]
                i, self.state = j + 1, st + 1
                continue
            b = data[i]
            i += 1
            if st == 1:  # after IAC in data
                self.state = {IAC: 0, SB: 3}.get(b, 2 if b >= WILL else 0)
                if b == IAC:
                    out.append(IAC)
                elif b == SB:
                    self.sb = bytearray()
            elif st == 2:  # the option byte of WILL, WONT, DO, DONT
                self.state = 0
            else:  # after IAC in a subnegotiation
                if b == IAC:
                    self.sb.append(IAC)
                if b == SE:
                    self.answers.append(bytes(self.sb))
                self.state = 0 if b == SE else 3
        return bytes(out)


class Identity:
    def __init__(self):
        self.answers = []

    def feed(self, data):
        return data


def wirebox_raw_command(binary, tty_path, port, workdir):
    return [binary, "-l", "serial", tty_path, "-B", str(BAUD), "-r", "raw", HOST, str(port)]


def wirebox_command(binary, tty_path, port, workdir):
    return [binary, "-l", "serial", tty_path, "-B", str(BAUD), "-r", "rfc2217", HOST, str(port)]


def ser2net_command(binary, tty_path, port, workdir):
    config = os.path.join(workdir, "ser2net-rfc2217.yaml")
    with open(config, "w") as f:
        f.write(f"""%YAML 1.1
---
connection: &bench
    accepter: telnet(rfc2217),tcp,{HOST},{port}
    enable: on
    connector: serialdev,{tty_path},{BAUD}n81,local
    options:
      chardelay: false
      dev-to-net-bufsize: 4096
      net-to-dev-bufsize: 4096
""")
    return [binary, "-n", "-d", "-u", "-c", config]


PEERS = {
    "wirebox-raw": (wirebox_raw_command, False),
    "wirebox": (wirebox_command, True),
    "ser2net": (ser2net_command, True),
}


class Session:
    """One daemon on a fresh pty and one connected client."""

    def __init__(self, name, binary, workdir):
        command, self.telnet = PEERS[name]
        self.name = name
        self.master, self.slave = os.openpty()
        rb.tty.setraw(self.master)
        rb.tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.port = rb.free_port()
        self.log = open(os.path.join(workdir, f"{name}.log"), "wb")
        self.proc = subprocess.Popen(command(binary, os.ttyname(self.slave), self.port, workdir),
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        rb.wait_until(lambda: rb.LISTEN in rb.tcp_states(self.port) or self.proc.poll() is not None,
                      f"{name} listening")
        if self.proc.poll() is not None:
            raise RuntimeError(f"{name} exited with {self.proc.returncode}")
        self.sock = socket.create_connection((HOST, self.port), timeout=WAIT)
        self.decoder = TelnetDecoder() if self.telnet else Identity()
        if self.telnet:
            self.sock.sendall(bytes([IAC, WILL, COM_PORT, IAC, WILL, BINARY, IAC, DO, BINARY]))
        self.sock.setblocking(False)
        self._sync()

    def _sync(self):
        """Probe bytes into the pty until the client gets one, then a marker: the stream is
        clean after it, and the Telnet negotiation has had a round trip to settle."""
        deadline, next_probe, got = time.monotonic() + WAIT, 0.0, b""
        while b"P" not in got:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self.name}: no probe arrived")
            if time.monotonic() >= next_probe:
                os.write(self.master, b"P")
                next_probe = time.monotonic() + 0.05
            got += self.decoder.feed(self._recv(0.01))
        os.write(self.master, b"M")
        while not got.endswith(b"M"):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self.name}: no marker arrived")
            got += self.decoder.feed(self._recv(0.05))
        time.sleep(0.2)  # the peer's own late negotiation, if any, is drained below
        self.decoder.feed(self._recv(0.05))
        self.decoder.answers.clear()

    def _recv(self, timeout):
        sel = selectors.DefaultSelector()
        sel.register(self.sock, selectors.EVENT_READ)
        ready = sel.select(timeout)
        sel.close()
        if not ready:
            return b""
        data = self.sock.recv(262144)
        if not data:
            raise EOFError(f"{self.name} closed the connection")
        return data

    def stop(self):
        self.sock.close()
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
        self.log.close()
        os.close(self.master)
        os.close(self.slave)


def tty_to_net(s, payload):
    total, got, sent = len(payload), 0, 0
    sel = selectors.DefaultSelector()
    sel.register(s.sock, selectors.EVENT_READ)
    sel.register(s.master, selectors.EVENT_WRITE)
    cpu0, _ = rb.tree_cpu_and_switches(s.proc.pid)
    start = time.monotonic()
    while got < total:
        if time.monotonic() - start > 120:
            raise TimeoutError(f"tty to network: {got} of {total}")
        for key, _ in sel.select(1.0):
            if key.fileobj == s.master:
                try:
                    sent += os.write(s.master, payload[sent:sent + 65536])
                except BlockingIOError:
                    continue
                if sent == total:
                    sel.unregister(s.master)
                continue
            try:
                data = s.decoder.feed(s.sock.recv(262144))
            except BlockingIOError:
                continue
            if payload[got:got + len(data)] != data:
                raise ValueError(f"tty to network: wrong bytes at offset {got}")
            got += len(data)
    elapsed = time.monotonic() - start
    cpu1, _ = rb.tree_cpu_and_switches(s.proc.pid)
    sel.close()
    return total / elapsed / 1e6, (cpu1 - cpu0) / 1e6 / (total / 1e6)


def net_to_tty(s, payload):
    wire = payload.replace(b"\xff", b"\xff\xff") if s.telnet else payload
    total, sent, got = len(payload), 0, 0
    sel = selectors.DefaultSelector()
    sel.register(s.sock, selectors.EVENT_WRITE)
    sel.register(s.master, selectors.EVENT_READ)
    cpu0, _ = rb.tree_cpu_and_switches(s.proc.pid)
    start = time.monotonic()
    while got < total:
        if time.monotonic() - start > 120:
            raise TimeoutError(f"network to tty: {got} of {total}")
        for key, _ in sel.select(1.0):
            if key.fileobj == s.sock:
                try:
                    sent += s.sock.send(wire[sent:sent + 65536])
                except BlockingIOError:
                    continue
                if sent == len(wire):
                    sel.unregister(s.sock)
                continue
            try:
                data = os.read(s.master, 65536)
            except BlockingIOError:
                continue
            if payload[got:got + len(data)] != data:
                raise ValueError(f"network to tty: wrong bytes at offset {got}")
            got += len(data)
    elapsed = time.monotonic() - start
    cpu1, _ = rb.tree_cpu_and_switches(s.proc.pid)
    sel.close()
    return total / elapsed / 1e6, (cpu1 - cpu0) / 1e6 / (total / 1e6)


def set_baudrate(s, rounds):
    """Microseconds from a SET-BAUDRATE request to its answer, p50 and p99."""
    times = []
    for i in range(rounds):
        rate = RATES[i % 2]
        body = struct.pack("!BBI", COM_PORT, 1, rate).replace(b"\xff", b"\xff\xff")
        t0 = time.perf_counter()
        s.sock.sendall(bytes([IAC, SB]) + body + bytes([IAC, SE]))
        deadline = time.monotonic() + WAIT
        while not any(a[:2] == bytes([COM_PORT, 101]) for a in s.decoder.answers):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{s.name}: SET-BAUDRATE {rate} not answered")
            s.decoder.feed(s._recv(WAIT))
        times.append((time.perf_counter() - t0) * 1e6)
        answer = next(a for a in s.decoder.answers if a[:2] == bytes([COM_PORT, 101]))
        if answer[2:6] != struct.pack("!I", rate):
            raise ValueError(f"{s.name}: SET-BAUDRATE {rate} answered {answer.hex()}")
        s.decoder.answers.clear()
    times.sort()
    return times[len(times) // 2], times[min(len(times) - 1, int(len(times) * 0.99))]


def measure(name, binary, payload, args, workdir):
    r = {}
    s = Session(name, binary, workdir)
    try:
        # Requests first: right after a bulk run the figures of every daemon wander for a while.
        if s.telnet:
            r["SET-BAUDRATE p50 us"], r["SET-BAUDRATE p99 us"] = set_baudrate(s, args.rounds)
        r["tty->net MB/s"], r["tty->net CPU ms/MB"] = tty_to_net(s, payload)
        r["net->tty MB/s"], r["net->tty CPU ms/MB"] = net_to_tty(s, payload)
    finally:
        s.stop()
    return r


ROWS = [
    ("tty->net MB/s", "{:.1f}", "higher"),
    ("net->tty MB/s", "{:.1f}", "higher"),
    ("tty->net CPU ms/MB", "{:.2f}", "lower"),
    ("net->tty CPU ms/MB", "{:.2f}", "lower"),
    ("SET-BAUDRATE p50 us", "{:.0f}", "lower"),
    ("SET-BAUDRATE p99 us", "{:.0f}", "lower"),
]


def print_table(results):
    names = list(results)
    print(f"{'':30}" + "".join(f"{n:>13}" for n in names) + f"{'wb/raw':>9}{'wb/ser2net':>12}")
    for key, fmt, better in ROWS:
        line = f"{key + ' (' + better + ')':30}"
        for n in names:
            v = results[n].get(key)
            line += f"{(fmt.format(v) if v is not None else '-'):>13}"
        wb = results.get("wirebox", {}).get(key)
        for other, width in (("wirebox-raw", 9), ("ser2net", 12)):
            v = results.get(other, {}).get(key)
            line += f"{(f'{wb / v:.2f}' if wb is not None and v else '-'):>{width}}"
        print(line)
    print("\nwb/raw and wb/ser2net divide wirebox's rfc2217 figure by the other's. Goals: throughput"
          "\nat least 0.9 of raw and at least ser2net's; CPU per MB and SET-BAUDRATE times at most"
          "\nser2net's.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wirebox", default=os.path.join(rb.ROOT, "build-bench", "wirebox"))
    parser.add_argument("--ser2net", default=shutil.which("ser2net") or "/usr/sbin/ser2net")
    parser.add_argument("--only", default="wirebox-raw,wirebox,ser2net")
    parser.add_argument("--mib", type=float, default=8, help="MiB per throughput run")
    parser.add_argument("--rounds", type=int, default=1000, help="SET-BAUDRATE requests")
    parser.add_argument("--repeat", type=int, default=1, help="runs per daemon; best kept")
    args = parser.parse_args()

    payload = random.Random(2217).randbytes(int(args.mib * 1024 * 1024))
    results = {}
    with tempfile.TemporaryDirectory(prefix="wirebox-bench.") as workdir:
        for _ in range(args.repeat):
            for name in args.only.split(","):
                binary = args.ser2net if name == "ser2net" else args.wirebox
                print(f"measuring {name} ({binary})", file=sys.stderr)
                try:
                    r = measure(name, os.path.realpath(binary), payload, args, workdir)
                except Exception as e:  # one failed daemon must not hide the others' figures
                    print(f"{name}: {e}", file=sys.stderr)
                    continue
                best = results.setdefault(name, {})
                for key, _, better in ROWS:
                    if key in r and (key not in best or
                                     (r[key] > best[key]) == (better == "higher")):
                        best[key] = r[key]
    print(f"\n{args.mib:g} MiB per throughput run, {args.rounds} SET-BAUDRATE requests, "
          f"pty at {BAUD} baud (not timed by the kernel), best of {args.repeat}\n")
    print_table(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
