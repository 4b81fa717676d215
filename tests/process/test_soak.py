"""Soak and hostile clients: raw clients coming and going at their own pace, Modbus clients leaving
mid-request beside garbage and a stalled frame, a slow and a garbage Telnet client before pyserial.
WIREBOX_SOAK_SECONDS (60) sets the length; the figures are printed and added to soak-figures.txt
in the current directory."""
import array
import collections
import contextlib
import os
import random
import select
import struct
import termios
import time
import types

import pytest
import serial

from conftest import connect, join, rss_unreliable, serve, usage, wait_until

SECONDS = float(os.environ.get("WIREBOX_SOAK_SECONDS", "60"))
RATE = 192 << 10  # bytes a second from the device, and of Telnet garbage
PAYLOAD, CLOSED = bytes(range(256)) * 8, r"close tty\n"


def record(what, **figures):
    print(line := f"{what}: " + " ".join(f"{k}={v}" for k, v in figures.items()))
    with open("soak-figures.txt", "a") as f:
        f.write(line + "\n")


def verify(data, stream):
    """What a raw client got must be one piece of the device stream, whose 4-byte words count up."""
    starts = [4 * struct.unpack_from("=I", data, a)[0] - a for a in range(4)] if data[7:] else []
    assert not starts or any(s >= 0 and stream[s:s + len(data)] == data for s in starts), data[:8]
    return len(data) if starts else 0


def test_raw_clients_coming_and_going_each_get_one_piece_of_the_stream(daemon, pty_pair):
    d, port = serve(daemon, pty_pair.path, "raw")
    stream = memoryview(array.array("I", range(int(RATE * SECONDS * 1.5) // 4)).tobytes())
    idle, rnd, stats = usage(d.proc.pid)[2], random.Random(1), collections.Counter()
    end = (start := time.monotonic()) + SECONDS

    def new(i, now):  # reads `rate` bytes a second from `born` on; client 0 lags to be dropped
        stats["connections"] += 1
        rate = 1 << 30 if i == 0 else None if i % 3 == 0 else rnd.randrange(8 << 10, 160 << 10)
        leave, born = (end, start + SECONDS * 0.95) if i == 0 else (now + rnd.uniform(0.2, 20), now)
        return types.SimpleNamespace(sock=connect(port), data=bytearray(), rate=rate, leave=leave,
                                     born=born)

    clients = [new(i, start) for i in range(62)]
    while (now := time.monotonic()) < end:
        due = {c.sock: (c, n) for c in clients if (n := 65536 if c.rate is None else min(
            65536, int(c.rate * (now - c.born)) - len(c.data))) > 0}
        tty = [pty_pair.master] if stats["written"] < RATE * (now - start) else []
        r, w, _ = select.select(list(due), tty, [], 0.05)
        if w:
            stats["written"] += os.write(pty_pair.master, stream[stats["written"]:][:16384])
        for s in r:
            if data := s.recv(due[s][1]):
                due[s][0].data += data
            else:  # dropped for lagging: what came before must still be right
                stats["dropped"] += 1
                s.close()
        for i, c in enumerate(clients):  # who has left or was dropped makes room for another
            if now > c.leave or c.sock.fileno() < 0:
                c.sock.close()
                stats["verified"] += verify(c.data, stream)
                clients[i] = new(i, now)
    for c in clients:
        c.sock.close()
        stats["verified"] += verify(c.data, stream)
    d.wait_for(CLOSED, timeout=30)  # the first time since the soak began
    after = usage(d.proc.pid)[2]
    record("raw", **stats, rss_anon_idle=idle, rss_anon_after=after)
    assert stats["dropped"] <= d.count(r"\[WARNING\] connector\[\d+\]: client \S+ is \d+ bytes")
    assert rss_unreliable(d.proc.pid) or after <= idle + 256


def read_input(tid, unit, address, count):  # and its answer: registers, exception 2 or 4
    mbap = lambda pdu: struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu  # noqa: E731
    regs = struct.pack(f">BB{count}H", 4, 2 * count, *range(2000 + address, 2000 + address + count))
    fail = bytes([0x84, 4 if unit != 17 else 2])
    return mbap(struct.pack(">BHH", 4, address, count)), mbap(fail if address == 50 else regs)


# Unit 18 is silent, address 50 gets exception 2; "half" and "gone" leave mid-request.
KINDS = ["ok"] * 40 + ["exception"] * 4 + ["silent", "half", "half", "gone", "gone"]


def test_modbus_clients_leaving_mid_request_spoil_no_other_answer(gateway, sockets):
    d, *socks = gateway("-x 50:2", clients=16)
    # Beside them, for the whole run: garbage that stalls, and a frame begun and never finished.
    join(sockets, d.port).sendall(random.Random(4).randbytes(48))
    join(sockets, d.port).sendall(b"\x00")
    clients = [types.SimpleNamespace(sock=s, buf=b"", expect=collections.deque()) for s in socks]
    rnd, counts, end, seq = random.Random(2), collections.Counter(), time.monotonic() + SECONDS, 0
    while time.monotonic() < end or any(c.expect for c in clients):
        assert time.monotonic() < end + 60, "answers missing"
        for i, c in enumerate(clients):
            if time.monotonic() < end and len(c.expect) < 2:
                kind, seq = rnd.choice(KINDS), seq + 1
                req, answer = read_input(i << 11 | seq & 0x7ff, 18 if kind == "silent" else 17,
                                         50 if kind in ("exception", "silent") else
                                         rnd.randrange(41), rnd.randrange(1, 9))
                c.sock.sendall(req[:rnd.randrange(1, len(req))] if kind == "half" else req)
                c.expect.append((kind, answer))
                if kind in ("half", "gone"):  # and comes back as a new client
                    counts[kind] += 1
                    c.sock.close()
                    c.sock, c.buf, c.expect = join(sockets, d.port), b"", collections.deque()
        ready = select.select([c.sock for c in clients], [], [], 1)[0]
        for c in (c for c in clients if c.sock in ready):
            c.buf += c.sock.recv(4096) or pytest.fail("the gateway closed a client")
            while c.expect and c.buf.startswith(c.expect[0][1]):  # answers its oldest request
                counts[c.expect[0][0]] += 1
                c.buf = c.buf[len(c.expect.popleft()[1]):]
            assert c.expect[0][1].startswith(c.buf) if c.expect else not c.buf, c.expect
    record("modbus", answered=sum(counts[k] for k in ("ok", "exception", "silent")), **counts)
    assert counts["ok"] and counts["exception"] and counts["silent"]


# A stray SE would end a cut subnegotiation. A pty refuses 5 to 7 data bits and, sooner or
# later, a parity bit, and the daemon then gives up on the tty: garbage does not ask for them.
VERBS, UNSAFE = [v for v in range(241, 255) if v != 250], [(2, 5), (2, 6), (2, 7), (3, 2), (3, 3)]


def telnet_garbage(rnd):
    """Data, a command, or a subnegotiation, cut short or (when it is safe) complete."""
    body = bytes([44, rnd.randrange(16)]) + rnd.randbytes(rnd.randrange(6))
    sb = b"\xff\xfa" + body.replace(b"\xff", b"\xff\xff")
    return rnd.choice([rnd.randbytes(rnd.randrange(1, 256)).replace(b"\xff", b"\xff\xff"), sb,
                       bytes([255, rnd.choice(VERBS), rnd.randrange(255)]),
                       sb + b"\xff\xf0" * (tuple(body[1:3]) not in UNSAFE)])


def test_rfc2217_slow_client_and_garbage_leave_the_port_to_pyserial(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "rfc2217", general=("-vv", "-w", "5"))
    # One client at a time: one that sends a byte a second, then nothing, must not keep the port.
    with connect(port, timeout=30) as s, contextlib.suppress(BrokenPipeError, ConnectionResetError):
        for _ in range(3):
            s.send(b"\x01")
            time.sleep(1)  # the pace of a slow sender
        while s.recv(65536):
            pass
    s, rnd, pending, sent, tail = join(sockets, port), random.Random(3), b"", 0, b""
    start = time.monotonic()
    while time.monotonic() < start + SECONDS / 2:
        due = [s] if sent < RATE * (time.monotonic() - start) else []
        r, w, _ = select.select([s.fileno(), pty_pair.master], due, [], 0.05)
        for fd in r:  # the daemon's answers and the data from the garbage are read and dropped
            assert os.read(fd, 65536), "the daemon closed the connection"
        if w:
            pending = pending or b"".join(telnet_garbage(rnd) for _ in range(16))
            sent, pending = sent + (n := s.send(pending)), pending[n:]
    # Output resumed, then a mark: once it reaches the tty, nothing of the garbage waits queued.
    s.sendall(pending + b"\xff\xfa\x2c\x09\xff\xf0" + b"\x00end of garbage")
    while not tail.endswith(b"\x00end of garbage"):
        tail = (tail + pty_pair.read_exactly(1))[-16:]
    s.close()
    wait_until(lambda: d.count(CLOSED) == 2, "the tty stays open")
    with serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", baudrate=19200, timeout=10) as p:
        p.write(PAYLOAD)
        pty_pair.write(PAYLOAD)
        got = pty_pair.read_exactly(len(PAYLOAD)), p.read(len(PAYLOAD))
        assert got + (termios.tcgetattr(pty_pair.slave)[5],) == (PAYLOAD, PAYLOAD, termios.B19200)
    record("rfc2217", garbage_bytes_sent=sent + len(pending))
