"""The serial + rfc2217 pair end to end: a real pty as the tty, the test as the Telnet peer.
A pty has no modem lines (TIOCMGET fails, so they read as off) and keeps neither character size
nor parity enable, so the line checks look at speed, stop bits, flow control and PARODD."""
import contextlib
import os
import select
import termios
import time

import pytest

from conftest import accept, cpu_ms_over, join, keepalive, listener, recv_exactly, serve, usage

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
# Sizes 6 and 7 and even parity are left out: glibc's tcsetattr refuses them on a pty.
# Last, a command inside a subnegotiation, an SE without SB, and an SB that starts afresh.
SERVER_STEPS = [step.split() for step in """
fffb00 fffd00, fffb00 -, fffd00 fffb00, fffe00 fffc00, fffe00 -, fffc00 fffe00, fffc00 -,
fffd01 fffb01, fffd01 -, fffe01 fffc01, fffe01 -, fffb2c fffd2c, fffd03 fffb03, fffb18 fffe18,
fffb18 fffe18, fffd05 fffc05, fffc1f fffe1f, fffe22 fffc22, fffdff fffcff,
0100004b00 6500004b00 19200, 0100004b00 6500004b00, 0100000000 6500004b00 19200, 01000025 -,
0100003840 6500002580 9600, 0209 6608, 0205 6605, 0200 6605, 0302 6702 9600+odd,
0304 6701 9600, 0402 6802 9600+twostop, 0403 6801 9600, 0502 6902 9600+soft, 0500 6902,
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
    # Suspend holds client data in the queue until resume.
    s.sendall(frames("08") + b"held" + SYNC)
    assert recv_exactly(s, len(SYNC_ANSWER)) == SYNC_ANSWER
    assert cpu_ms_over(d.proc.pid, 1) < 50  # held data neither leaves nor keeps the loop awake
    assert not select.select([pty_pair.master], [], [], 0)[0]
    s.sendall(frames("09"))
    assert pty_pair.read_exactly(4) == b"held"
    for message in ["set baudrate to 19200", "notify honestly: baudrate 9600", "Suspend tty",
                    "Unsuspend tty"] + [rf"telnet connection is now in {m} mode \(server {w} "
                                        r"client\)" for m in ("BINARY", "ASCII")
                                        for w in ("<<==", "==>>")]:
        assert d.count(rf"\]: {message}\n") == 1, message
    second = join(sockets, port)
    assert second.recv(16) == b""  # closed at once
    d.wait_for(r"no vacant places for clients left\. disconnecting\n")
    s.sendall(b"still")
    assert pty_pair.read_exactly(5) == b"still"
    s.close()
    d.wait_for(r"close tty\n")
    join(sockets, port, SERVER_OPENING).sendall(b"next")
    assert pty_pair.read_exactly(4) == b"next"


def test_server_drops_a_connection_that_reads_too_slowly_4_mib_behind(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "rfc2217")
    slow = join(sockets, port, SERVER_OPENING)
    slow.setblocking(False)
    behind = r"\[WARNING\] connector\[\d+\]: client 127\.0\.0\.1:\d+ is (\d+) bytes behind"
    written, got, start = 0, 0, time.monotonic()
    while not d.count(behind):
        assert written < 64 << 20 and time.monotonic() < start + 30, "never dropped"
        if got < 2e6 * (time.monotonic() - start):  # reads 2 MB/s
            with contextlib.suppress(BlockingIOError):
                got += len(slow.recv(65536))
        if select.select([], [pty_pair.master], [], 0.005)[1]:
            written += os.write(pty_pair.master, bytes(65536))
    assert 0 <= int(d.wait_for(behind)[1]) - (4 << 20) < 256


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
    for answers in ("6908", "6500002580 6605 6702 6802 6903"):
        conn = accept(server, sockets, opening)
        pty_pair.write(b"held")
        conn.sendall(frames(answers))
        conn.settimeout(5)
        started = time.monotonic()
        assert conn.recv(16) == b""
        assert 0.5 < time.monotonic() - started < 3  # held for -T 1, not refused at once
    assert usage(d.proc.pid)[0] - cpu_ms < 500  # the waits were paced, not spun
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

