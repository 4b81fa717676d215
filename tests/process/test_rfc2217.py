"""The serial + rfc2217 pair end to end: a real pty as the tty, the test as the Telnet peer.
A pty has no modem lines (TIOCMGET fails, so they read as off) and keeps neither character size
nor parity enable, so the line checks look at speed, stop bits, flow control and PARODD."""
import contextlib
import os
import select
import socket
import termios
import time

import pytest

from conftest import connect, free_port, recv_exactly

IFLAG, CFLAG, OSPEED = 0, 2, 5
ALL_BYTES = bytes(range(256))
ESCAPED = ALL_BYTES.replace(b"\xff", b"\xff\xff")
SERVER_OPENING = bytes.fromhex("fffa2c6b00fff0 fffd2c fffb00 fffd00 fffb01 fffb03 fffd03")
SYNC, SYNC_ANSWER = bytes.fromhex("fffa2c06fff0"), bytes.fromhex("fffa2c6a00fff0")


def sb(hexbody):
    return bytes.fromhex("fffa2c" + hexbody + "fff0")


def start_server(daemon, pty):
    port = free_port()
    d = daemon(["-vv", "-l", "serial", pty.path, "-r", "rfc2217", "127.0.0.1", str(port)])
    d.wait_for(rf"listening at 127\.0\.0\.1:{port}\n")
    return d, port


def join(sockets, port):
    s = connect(port)
    sockets.append(s)
    assert recv_exactly(s, len(SERVER_OPENING)) == SERVER_OPENING
    return s


def line(attrs, key):
    speed = attrs[OSPEED]
    return {"speed": speed, "cstopb": bool(attrs[CFLAG] & termios.CSTOPB),
            "parodd": bool(attrs[CFLAG] & termios.PARODD),
            "flow": (bool(attrs[IFLAG] & termios.IXON) and bool(attrs[IFLAG] & termios.IXOFF),
                     bool(attrs[CFLAG] & termios.CRTSCTS))}[key]


# (request, answer, (line field, value) or None), sent in order on one connection. Each request
# is followed by a line-state query whose answer marks the end of what the request produced.
SERVER_STEPS = [
    ("fffb00", "fffd00", None), ("fffb00", "", None), ("fffb18", "fffe18", None),
    ("fffb18", "fffe18", None),  # the rest of the negotiation table is in the unit tests
    (sb("0100004b00"), sb("6500004b00"), ("speed", termios.B19200)),
    (sb("0100004b00"), sb("6500004b00"), ("speed", termios.B19200)),
    (sb("0100000000"), sb("6500004b00"), ("speed", termios.B19200)),  # 0 asks
    (sb("01000025"), "", None),  # too short
    (sb("0100003840"), sb("6500002580"), ("speed", termios.B9600)),  # 14400: the line got 9600
    # Sizes 6 and 7 and even parity are left out: glibc's tcsetattr refuses them on a pty.
    (sb("0205"), sb("6605"), None), (sb("0209"), sb("6608"), None), (sb("0200"), sb("6608"), None),
    (sb("0302"), sb("6702"), ("parodd", True)), (sb("0304"), sb("6701"), ("parodd", False)),
    (sb("0402"), sb("6802"), ("cstopb", True)), (sb("0403"), sb("6801"), ("cstopb", False)),
    (sb("0502"), sb("6902"), ("flow", (True, False))), (sb("0500"), sb("6902"), None),
    (sb("0503"), sb("6903"), ("flow", (False, True))), (sb("050b"), sb("690b"), None),
    (sb("0501"), sb("6901"), ("flow", (False, False))),
    (sb("0505"), sb("6905"), None), (sb("0504"), "", None), (sb("050d"), "", None),
    (sb("0507"), sb("6909"), None), (sb("0508"), sb("6908"), None), (sb("050a"), sb("690c"), None),
    (sb("07"), sb("6b00"), None), (sb("0b30"), "", None), (sb("07"), sb("6b00"), None),
    (sb("0c03"), sb("7003"), None), (sb("0c01"), sb("7001"), None), (sb("0c07"), "", None),
    (sb("0a00"), "", None), (sb("0061626364"), "", None), (sb("0d01"), "", None),
    ("fffa1801fff0", "", None),
]


def test_server_answers_every_request_and_the_line_follows(daemon, pty_pair, sockets):
    d, port = start_server(daemon, pty_pair)
    s = join(sockets, port)
    for request, answer, check in SERVER_STEPS:
        request = bytes.fromhex(request) if isinstance(request, str) else request
        answer = bytes.fromhex(answer) if isinstance(answer, str) else answer
        s.sendall(request + SYNC)
        assert recv_exactly(s, len(answer + SYNC_ANSWER)) == answer + SYNC_ANSWER, request.hex()
        if check:
            assert line(pty_pair.termios(), check[0]) == check[1], request.hex()
    # 0xFF doubled both ways; data around a request stays in order.
    s.sendall(ESCAPED + sb("0c02") + b"\xff\xff")
    assert pty_pair.read_exactly(257) == ALL_BYTES + b"\xff"
    assert recv_exactly(s, 7) == sb("7002")
    pty_pair.write(ALL_BYTES)
    assert recv_exactly(s, len(ESCAPED)) == ESCAPED
    # Suspend holds client data in the queue until resume.
    s.sendall(sb("08") + b"held" + SYNC)
    assert recv_exactly(s, len(SYNC_ANSWER)) == SYNC_ANSWER
    with pytest.raises(TimeoutError):
        pty_pair.read_exactly(1, timeout=0.3)
    s.sendall(sb("09"))
    assert pty_pair.read_exactly(4) == b"held"
    for message in ["set baudrate to 19200", "notify honestly: baudrate 9600", "Suspend tty",
                    "Unsuspend tty", "telnet connection is now in BINARY mode \\(server <<== client\\)"]:
        assert d.count(rf"\]: {message}\n") == 1, message


def test_server_serves_one_client_at_a_time(daemon, pty_pair, sockets):
    d, port = start_server(daemon, pty_pair)
    first = join(sockets, port)
    second = connect(port)
    sockets.append(second)
    assert recv_exactly(second, 0) == b"" and second.recv(16) == b""  # closed at once
    d.wait_for(r"no vacant places for clients left\. disconnecting\n")
    first.sendall(b"still")
    assert pty_pair.read_exactly(5) == b"still"
    first.close()
    d.wait_for(r"close tty\n")
    join(sockets, port).sendall(b"next")
    assert pty_pair.read_exactly(4) == b"next"


# ---- client mode against a listener played by the test

OPEN = "fffd2c fffb00 fffd00 fffd01 fffb03 fffd03"
TAIL = "fffa2c0508fff0 fffa2c050bfff0 fffa2c0c01fff0 fffa2c0c02fff0"
SETTINGS = "fffa2c0100002580fff0 fffa2c0301fff0 fffa2c0208fff0 fffa2c0401fff0 fffa2c0501fff0"
OPENINGS = [
    ([], OPEN + SETTINGS + TAIL),
    (["-B", "0"], OPEN + SETTINGS[21:] + TAIL),
    (["-F", "hardware"], OPEN + SETTINGS[:-14] + "fffa2c0503fff0" + TAIL.replace(
        "fffa2c050bfff0 ", "")),
    (["-S", "-P", "odd", "-D", "261"], OPEN + SETTINGS.replace("2c0301", "2c0302").replace(
        "2c0208", "2c0205").replace("2c0401", "2c0402") + TAIL),
]


class Listener:
    def __init__(self, sockets):
        self.port = free_port()
        self.server = socket.create_server(("127.0.0.1", self.port))
        self.server.settimeout(10)
        self.sockets = sockets
        sockets.append(self.server)

    def accept(self, opening):
        conn, _ = self.server.accept()
        self.sockets.append(conn)
        assert recv_exactly(conn, len(opening)) == opening
        return conn


def test_connection_reading_slower_than_the_tty_is_dropped_4_mib_behind(daemon, pty_pair, sockets):
    d, port = start_server(daemon, pty_pair)
    slow = join(sockets, port)
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


def start_client(daemon, pty, listener, *opts):
    return daemon(["-vv", "-l", "serial", pty.path, "-r", "rfc2217", "127.0.0.1",
                   str(listener.port), "-C", *opts])


@pytest.mark.parametrize("opts, opening", OPENINGS, ids=[" ".join(o[0]) or "defaults"
                                                         for o in OPENINGS])
def test_client_opening_then_data_both_ways(daemon, pty_pair, sockets, opts, opening):
    listener = Listener(sockets)
    start_client(daemon, pty_pair, listener, *opts)
    conn = listener.accept(bytes.fromhex(opening))
    conn.sendall(ESCAPED + sb("6500002580"))
    assert pty_pair.read_exactly(256) == ALL_BYTES
    pty_pair.write(ALL_BYTES)
    assert recv_exactly(conn, len(ESCAPED)) == ESCAPED


def test_client_waits_for_the_requested_value(daemon, pty_pair, sockets):
    listener = Listener(sockets)
    opening = bytes.fromhex(OPEN + SETTINGS.replace("2580", "4b00") + TAIL)
    d = start_client(daemon, pty_pair, listener, "-A", "required", "-B", "19200", "-T", "1")
    conn = listener.accept(opening)
    d.wait_for(r"open tty")
    pty_pair.write(b"held")
    conn.sendall(sb("6500002580"))  # another value: the data stays held, then the time-out
    conn.settimeout(5)
    started = time.monotonic()
    assert conn.recv(16) == b""
    assert 0.5 < time.monotonic() - started < 2
    d.wait_for(r"\[WARNING\] rfc2217-subopt\[\d+\]: Baudrate ack failed: speed does not match\n")
    d.wait_for(r"\[ERROR\] rfc2217\[\d+\]: ack timeout ran out with some options not "
               r"acknowledged: baudrate, \n")
    conn = listener.accept(opening)  # at once, with a fresh deadline
    pty_pair.write(b"early")
    time.sleep(0.2)
    conn.sendall(sb("6500004b00"))
    assert recv_exactly(conn, 5) == b"early"
    d.wait_for(r"Baudrate ack complete: speed matches\n")


def test_client_drops_a_server_that_never_answers(daemon, pty_pair, sockets):
    listener = Listener(sockets)
    opening = bytes.fromhex(OPEN + SETTINGS.replace("2c0301", "2c0302") + TAIL)
    d = start_client(daemon, pty_pair, listener, "-A", "required", "-P", "odd", "-T", "1")
    for _ in range(2):
        conn = listener.accept(opening)
        conn.settimeout(5)
        started = time.monotonic()
        assert conn.recv(16) == b""
        assert 0.5 < time.monotonic() - started < 2
    assert d.count(r"not acknowledged: parity, \n") >= 1


# ---- the section's command line

USAGE = (b"rfc2217 <host> <port> [options]    Plain tcp data transfer byte by byte\n"
         b"Server example: rfc2217 0.0.0.0 12312\n"
         b"Client example: rfc2217 localhost 12312 -C -B 9600 -P even\n\nOptions:\n"
         b"   -C, --client-mode                   connect to remote server\n"
         b"   -h, --help                          print this message and exit\n"
         b"   server:                         Server mode settings\n"
         b"   client:                         Client mode settings\n"
         b"       -A, --ack=<required, ignored>   Set default policy for all settings\n"
         b"       -T, --timeout=TIMEOUT           Ack timeout\n"
         b"       -B, --baudrate=BAUDRATE         Remote baudrate settings\n"
         b"       -P, --parity=<none, even, odd>  Remote parity bit settings\n"
         b"       -S, --two-stopbits              Remote settings for stopbits\n"
         b"       -D, --databits=<5,6,7,8>        Remote settings for databits\n"
         b"       -F, --flowcontrol=<none, software, hardware>\n"
         b"                                       Remote settings for flowcontrol\n\n")
SECTIONS = [("h 1 -h", 0, USAGE, b""), ("h 1 -C --help", 0, USAGE, b""), ("h", 1, USAGE, b""),
            ("h 1 2", 1, USAGE, b"")] + [
    (f"h 1 -C {v}", 1, USAGE, b"") for v in ("-A maybe", "-P mark", "-D 9", "-D x", "-F rts")] + [
    ("h 1 -B 9600", 1, b"", b"rfc2217: -B: unknown option\n"),
    ("h 1 --client", 1, b"", b"rfc2217: --client: unknown option\n")]


@pytest.mark.parametrize("section, status, out, err", SECTIONS, ids=[s[0] for s in SECTIONS])
def test_bad_section_or_help(daemon, section, status, out, err):
    d = daemon(["-l", "serial", "/dev/null", "-r", "rfc2217", *section.split()])
    assert d.wait_exit(10) == (status, out, err)
