"""The serial + rfc2217 pair end to end: a real pty as the tty, the test as the Telnet peer.
A pty has no modem lines (TIOCMGET fails, so they read as off) and keeps neither character size
nor parity enable, so the line checks look at speed, stop bits, flow control and PARODD."""
import contextlib
import os
import random
import re
import select
import socket
import termios
import time

import pytest

from conftest import (accept, cpu_ms_over, join, keepalive, listener, recv_exactly,
                      rss_unreliable, serve, stats, usage)

IFLAG, CFLAG, OSPEED = 0, 2, 5
ALL_BYTES = bytes(range(256))
ESCAPED = ALL_BYTES.replace(b"\xff", b"\xff\xff")


def frames(words):
    """Hex words (split by spaces or +) to bytes; a word not starting with ff is the body of a
    com-port subnegotiation."""
    return b"".join(bytes.fromhex(w if w.startswith("ff") else f"fffa2c{w}fff0")
                    for w in words.replace("+", " ").split() if w != "-")


SERVER_OPENING = frames("6b00 fffd2c fffb00 fffd00 fffb01 fffb03 fffd03")
SYNC, SYNC_ANSWER = frames("06"), frames("6a00")


def line(a):
    """The speed and the flags a pty keeps, e.g. "9600+odd+twostop"."""
    c, i = a[CFLAG], a[IFLAG]
    flags = {"odd": c & termios.PARODD, "twostop": c & termios.CSTOPB,
             "soft": i & termios.IXON and i & termios.IXOFF, "hard": c & termios.CRTSCTS}
    speed = {termios.B9600: "9600", termios.B19200: "19200"}.get(a[OSPEED], "?")
    return "+".join([speed] + [name for name, on in flags.items() if on])


# "request answer [the line after it]", sent in order on one connection. Each request is followed
# by a line-state query whose answer marks the end of what the request produced. Known options
# are answered once, unknown ones every time; a baud rate of 0 asks, 14400 gets 9600 on the line.
# Answers give what the pty kept: size 8 and no parity enable whatever was asked (glibc's
# tcsetattr refuses size 7 outright, musl's does not: the answer is the same).
# Last, a command inside a subnegotiation, an SE without SB, and an SB that starts afresh.
SERVER_STEPS = [step.split() for step in """
fffb00 fffd00, fffb00 -, fffd00 fffb00, fffe00 fffc00, fffe00 -, fffc00 fffe00, fffc00 -,
fffd01 fffb01, fffd01 -, fffe01 fffc01, fffe01 -, fffb2c fffd2c, fffd03 fffb03, fffb18 fffe18,
fffb18 fffe18, fffd05 fffc05, fffc1f fffe1f, fffe22 fffc22, fffdff fffcff,
0100004b00 6500004b00 19200, 0100004b00 6500004b00, 0100000000 6500004b00 19200, 01000025 -,
0100003840 6500002580 9600, 0209 6608, 0205 6608, 0207 6608, 0200 6608, 0302 6701 9600+odd,
0303 6701, 0304 6701 9600, 0402 6802 9600+twostop, 0403 6801 9600, 0502 6902 9600+soft, 0500 6902,
0503 6903 9600+hard, 050b 690b, 0501 6901 9600, 0505 6905, 0504 -, 050d -, 0507 6909,
0508 6908, 050a 690c, 07 6b00, 0b30 -, 07 6b00, 0c03 7003, 0c01 7001, 0c07 -, 0a00 -,
0061626364 -, 0d01 -, fffa1801fff0 -,
fffa2c05fffb1801fff0 fffe18+6901, fff0 -, fffa2c05fffa2c07fff0 6b00""".split(",")]


def test_server_answers_every_request_and_serves_one_client_at_a_time(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "rfc2217")
    s = join(sockets, port, SERVER_OPENING)
    keepalive(port)
    for request, answer, *check in SERVER_STEPS:
        s.sendall(frames(request) + SYNC)
        assert recv_exactly(s, len(frames(answer)) + 7) == frames(answer) + SYNC_ANSWER, request
        if check:
            assert line(termios.tcgetattr(pty_pair.slave)) == check[0], request
    # 0xFF doubled both ways; data around a request stays in order.
    s.sendall(ESCAPED + frames("0c02") + b"\xff\xff")
    assert pty_pair.read_exactly(257) == ALL_BYTES + b"\xff"
    assert recv_exactly(s, 7) == frames("7002")
    pty_pair.write(ALL_BYTES)
    assert recv_exactly(s, len(ESCAPED)) == ESCAPED
    # Suspend holds client data in the queue until resume; the client is still read meanwhile.
    held = random.Random(2).randbytes(256 << 10).replace(b"\xff", b"")
    s.sendall(frames("08") + held + SYNC)
    assert recv_exactly(s, len(SYNC_ANSWER)) == SYNC_ANSWER
    assert cpu_ms_over(d.proc.pid, 1) < 50  # held data neither leaves nor keeps the loop awake
    assert not select.select([pty_pair.master], [], [], 0)[0]
    s.sendall(frames("09"))
    assert pty_pair.read_exactly(len(held)) == held
    for message in ["set baudrate to 19200", "notify honestly: baudrate 9600", "Suspend tty",
                    "Unsuspend tty"] + [rf"telnet connection is now in {m} mode \(server {w} "
                                        r"client\)" for m in ("BINARY", "ASCII")
                                        for w in ("<<==", "==>>")]:
        assert d.count(rf"\]: {message}\n") == 1, message
    second = join(sockets, port)
    assert second.recv(16) == b""  # closed at once
    d.wait_for(r"no vacant places for clients left\. disconnecting\n")
    # What a suspended client sent before it closed still reaches the tty; then the next one.
    s.sendall(b"still" + frames("08") + held * 12)
    s.close()
    assert pty_pair.read_exactly(5 + len(held) * 12) == b"still" + held * 12
    d.wait_for(r"close tty\n")
    join(sockets, port, SERVER_OPENING).sendall(b"next")
    assert pty_pair.read_exactly(4) == b"next"


def telnet_data(stream, command):
    """The data of a Telnet stream whose only commands are whole `command`s, and their count."""
    assert re.fullmatch(b"(?:[^\xff]|\xff\xff|%s)*" % re.escape(command), stream)
    return stream.replace(command, b"").replace(b"\xff\xff", b"\xff"), stream.count(command)


def test_answers_leave_between_whole_telnet_sequences(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "rfc2217")
    s = socket.socket()
    sockets.append(s)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # the daemon's buffers stay small
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
    s.connect(("127.0.0.1", port))
    assert recv_exactly(s, len(SERVER_OPENING)) == SERVER_OPENING
    # Rich in 0xFF, and read only once the daemon's socket is full, so that its data leaves in
    # many writes that end anywhere; a line-state poll every 8 KiB received.
    data = bytes(random.Random(3).choices(b"\x00\xff", k=512 << 10))
    pty_pair.write(data)
    got, polls = bytearray(), 0
    while len(got) < len(data) + data.count(0xff) + len(SYNC_ANSWER) * polls:
        got += s.recv(65536)
        if len(got) // 8192 > polls:
            polls += s.send(SYNC) // len(SYNC)
    assert telnet_data(bytes(got), SYNC_ANSWER) == (data, polls)
    client, = stats(d, "client")
    assert (client["sent"], client["received"]) == (str(len(SERVER_OPENING) + len(got)),
                                                    str(len(SYNC) * polls))
    assert stats(d, "tty")[0]["read"] == str(len(data))
    assert stats(d, "rfc2217") == [{"suspended": "no", "ack_timeouts": "0",
                                    "notify_linestate": str(polls)}]


# Three ways to pile up bytes in the daemon: read too slowly, ask and never read, keep sending
# while output is held. Each is dropped at 4 MiB; the daemon stays within its bounds and serves
# the next client. A subnegotiation that never ends is cut at 1 KiB and costs nothing.
@pytest.mark.parametrize("flood, drop", [("slow", "is (\\d+) bytes behind"),
                                         ("fffd05" * 64, "is (\\d+) bytes behind"),
                                         ("08", "(\\d+) bytes wait for the held tty"),
                                         ("fffa2c", None)])
def test_server_bounds_what_a_client_can_pile_up(daemon, pty_pair, sockets, flood, drop):
    d, port = serve(daemon, pty_pair.path, "rfc2217")
    c = join(sockets, port, SERVER_OPENING)
    c.setblocking(False)
    idle, peak = usage(d.proc.pid)[2], 0
    warning = rf"\[WARNING\] connector\[\d+\]: client 127\.0\.0\.1:\d+:? {drop}"
    written, got, start = 0, 0, time.monotonic()
    target = pty_pair.master if flood == "slow" else c.fileno()
    chunk = bytes.fromhex(flood * 1024) if flood[:4] == "fffd" else bytes(65536)
    if flood != "slow":
        c.sendall(frames(flood) if flood == "08" else bytes.fromhex(flood))
    with contextlib.suppress(ConnectionError):  # a dropped client's writes fail
        while (drop and not d.count(warning)) or (not drop and written < 8 << 20):
            assert written < 64 << 20 and time.monotonic() < start + 30, "never dropped"
            if flood == "slow" and got < 2e6 * (time.monotonic() - start):  # reads 2 MB/s
                with contextlib.suppress(BlockingIOError):
                    got += len(c.recv(65536))
            if select.select([], [target], [], 0.005)[1]:
                written += os.write(target, chunk)
            peak = max(peak, usage(d.proc.pid)[2] - idle)
    if drop:
        queued = int(d.wait_for(warning)[1])
        assert 0 <= queued - (4 << 20) < 512  # dropped by the read that passed the limit
        assert stats(d, "process")[0]["dropped_lagging"] == "1"
    else:
        c.sendall(bytes.fromhex("fff0") + SYNC)
        assert recv_exactly(c, len(SYNC_ANSWER)) == SYNC_ANSWER
        assert d.count("subnegotiation longer than 1024 bytes, discarding it") == 1
    assert rss_unreliable(d.proc.pid) or peak < (6 << 10 if drop else 512)
    c.close()
    d.wait_for(r"close tty\n")
    join(sockets, port, SERVER_OPENING)
    if flood == "08":  # what it sent is not lost: the tty takes it once no longer held
        assert pty_pair.read_exactly(queued) == bytes(queued)
    else:  # glibc keeps the drained queue's memory for the process: no figure to check there
        assert rss_unreliable(d.proc.pid) or usage(d.proc.pid)[2] - idle < 512


# ---- client mode against a listener played by the test

OPEN = "fffd2c fffb00 fffd00 fffd01 fffb03 fffd03 "
SETTINGS = "0100002580 0301 0208 0401 0501 "
TAIL = "0508 050b 0c01 0c02"


def client(daemon, pty, sockets, *opts):
    server = listener(sockets)
    d = daemon(["-vvv", "-l", "serial", pty.path, "-r", "rfc2217", "127.0.0.1",
                str(server.getsockname()[1]), "-C", *opts])
    return d, server


@pytest.mark.parametrize("opts, opening", [([], OPEN + SETTINGS + TAIL),
                                           (["-A", "ignored"], OPEN + SETTINGS + TAIL),
                                           (["-B", "0"], OPEN + SETTINGS[11:] + TAIL)])
def test_client_opening(daemon, pty_pair, sockets, opts, opening):
    _, server = client(daemon, pty_pair, sockets, *opts)
    accept(server, sockets, frames(opening))


def test_client_holds_data_until_every_value_is_acknowledged(daemon, pty_pair, sockets):
    # -D 261 is 5 as a character size; hardware flow control leaves RTS alone.
    d, server = client(daemon, pty_pair, sockets, "-A", "required", "-B", "19200", "-P", "odd",
                       "-D", "261", "-S", "-F", "hardware", "-T", "1")
    opening = frames(OPEN + "0100004b00 0302 0205 0402 0503 0508 0c01 0c02")
    # A server that answers no setting (only DTR, whose answer shares the flow control code),
    # then one that answers another rate: each is dropped after the time-out without data, and
    # the next connection starts at once with a fresh deadline.
    cpu_ms = usage(d.proc.pid)[0]
    reads = 0
    for answers in ("6908", "6500002580 6605 6702 6802 6903"):
        conn = accept(server, sockets, opening)
        for piece in (b"held", b"also"):  # two reads: all of it goes with the connection
            pty_pair.write(piece)
            reads += 1
            d.wait_for(rf"(?s)(?:read 4 bytes from tty\n.*?){{{reads}}}")
        conn.sendall(frames(answers))
        conn.settimeout(5)
        started = time.monotonic()
        assert conn.recv(16) == b""
        assert 0.5 < time.monotonic() - started < 3  # held for -T 1, not refused at once
    assert usage(d.proc.pid)[0] - cpu_ms < 500  # the waits were paced, not spun
    assert stats(d, "rfc2217")[0]["ack_timeouts"] == "2"
    for message in [r"\[ERROR\] rfc2217\[\d+\]: ack timeout ran out with some options not "
                    r"acknowledged: baudrate, datasize, parity, stopsize, flowcontrol\n",
                    r"\[WARNING\] rfc2217-subopt\[\d+\]: Baudrate ack failed: speed does not "
                    r"match\n", r"\[ERROR\] .*not acknowledged: baudrate, \n"]:
        assert d.count(message) == 1, message
    assert d.count("ack failed") == 1
    conn = accept(server, sockets, opening)
    pty_pair.write(b"early")
    d.wait_for(r"read 5 bytes from tty\n")
    conn.sendall(frames("6500004b00 6605 6702 6802 6903") + ESCAPED)
    assert recv_exactly(conn, 5) == b"early"
    assert pty_pair.read_exactly(256) == ALL_BYTES
    d.wait_for(r"Baudrate ack complete: speed matches\n")

