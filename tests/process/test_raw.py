"""The serial + raw pair end to end: a real pty as the tty, real loopback clients and servers."""
import errno
import fcntl
import os
import re
import socket
import time

import pytest

from conftest import Daemon, connect, free_port, recv_exactly

ALL_BYTES = bytes(range(256))
BANNER_TEXT = r"hi\r\n\t\\\x7f\x00!"
BANNER = b"hi\r\n\t\\\x7f\x00!"


@pytest.fixture
def sockets():
    """Collects sockets a test opens and closes whatever is still open at teardown."""
    opened = []
    yield opened
    for s in opened:
        s.close()


def start_server(daemon, pty, port, *remote_opts, general=("-vv",)):
    d = daemon([*general, "-l", "serial", pty.path, "-r", "raw", "127.0.0.1", str(port),
                *remote_opts])
    d.wait_for(rf"listening at 127\.0\.0\.1:{port}\n")
    return d


def join(sockets, port, banner=b""):
    """Connects one client; given the banner, also waits until the server has created it."""
    s = connect(port)
    sockets.append(s)
    if banner:
        assert recv_exactly(s, len(banner)) == banner
    return s


def wait_count(d, pattern, n, timeout=10):
    """Waits until stderr holds at least n matches of pattern."""
    d.wait_for(rf"(?s)(?:{pattern}.*?){{{n}}}", timeout=timeout)


def wait_while_poking(d, pattern, poke, timeout=15):
    """Calls poke() until pattern shows up in stderr: for conditions that need wake-ups."""
    deadline = time.monotonic() + timeout
    while True:
        poke()
        try:
            return d.wait_for(pattern, timeout=0.1)
        except TimeoutError:
            if time.monotonic() > deadline:
                raise


def nothing_to_read(s):
    s.setblocking(False)
    try:
        s.recv(1)
        return False
    except BlockingIOError:
        return True
    finally:
        s.settimeout(10)


def tty_locked(path):
    """True while another open file holds the flock on the tty; never waits for the lock."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.flock(fd, fcntl.LOCK_UN)
        return False
    except OSError as e:
        assert e.errno == errno.EWOULDBLOCK
        return True
    finally:
        os.close(fd)


def wait_lock_state(path, locked, timeout=10):
    deadline = time.monotonic() + timeout
    while tty_locked(path) != locked:
        if time.monotonic() > deadline:
            raise TimeoutError(f"tty lock never became {'held' if locked else 'free'}")
        time.sleep(0.02)


# --- fan-out and merge -------------------------------------------------------------------------

def test_every_byte_value_reaches_every_client_in_order(daemon, pty_pair, sockets):
    port = free_port()
    d = start_server(daemon, pty_pair, port)
    clients = [join(sockets, port) for _ in range(4)]
    wait_count(d, r"got connection from 127\.0\.0\.1:", 4)
    data = ALL_BYTES * 16
    pty_pair.write(data)
    for i, s in enumerate(clients):
        assert recv_exactly(s, len(data)) == data, f"client {i}"


def test_client_bytes_reach_tty_whole_and_in_arrival_order(daemon, pty_pair, sockets):
    port = free_port()
    d = start_server(daemon, pty_pair, port)
    clients = [join(sockets, port) for _ in range(3)]
    wait_count(d, r"got connection from", 3)
    expected = b""
    for round_ in range(3):
        for i, s in enumerate(clients):
            chunk = bytes([0x30 + i]) * (50 + round_) + ALL_BYTES
            s.sendall(chunk)
            assert pty_pair.read_exactly(len(chunk)) == chunk
            expected += chunk
    # Concurrent senders: each client's own bytes stay in order. Byte values tell clients apart.
    streams = [bytes(64 * i + (k % 64) for k in range(3000)) for i in range(len(clients))]
    for part in range(0, 3000, 500):
        for s, stream in zip(clients, streams):
            s.sendall(stream[part:part + 500])
    got = pty_pair.read_exactly(3000 * len(clients))
    for i, stream in enumerate(streams):
        assert bytes(b for b in got if b // 64 == i) == stream, f"client {i}"


def test_later_client_gets_banner_then_only_later_bytes(daemon, pty_pair, sockets):
    port = free_port()
    d = start_server(daemon, pty_pair, port, "-N", BANNER_TEXT)
    first = join(sockets, port, BANNER)
    early = bytes(range(100))
    pty_pair.write(early)
    assert recv_exactly(first, len(early)) == early
    second = join(sockets, port, BANNER)
    pty_pair.write(b"later")
    assert recv_exactly(first, 5) == b"later"
    assert recv_exactly(second, 5) == b"later"
    assert d.count(r"got connection from") == 2


@pytest.mark.parametrize("text,expected", [
    (r"Hello\r\n", b"Hello\r\n"),
    (r"a\\b", b"a\\b"),
    (r"\x41\x4a", b"AJ"),
    (r"\x00", b"\x00"),
])
def test_banner_comes_first(daemon, pty_pair, sockets, text, expected):
    port = free_port()
    start_server(daemon, pty_pair, port, "--banner", text)
    s = join(sockets, port, expected)
    pty_pair.write(b"\x00data")
    assert recv_exactly(s, 5) == b"\x00data"


def test_empty_banner_sends_nothing_before_data(daemon, pty_pair, sockets):
    port = free_port()
    d = start_server(daemon, pty_pair, port, "-N", "")
    s = join(sockets, port)
    wait_count(d, r"got connection from", 1)
    pty_pair.write(b"xyz")
    assert recv_exactly(s, 3) == b"xyz"


USAGE = (b"plaintcp <host> <port> [options]   Plain tcp data transfer byte by byte\n"
         b"   -C, --client-mode                   connect to remote server\n"
         b"   -N, --banner                        connection banner\n"
         b"   -h, --help                          print this message and exit\n\n")


@pytest.mark.parametrize("remote", [
    ["127.0.0.1", "1", "-N", r"\x4"],
    ["127.0.0.1", "1", "-N", "abc\\"],
    ["127.0.0.1", "1", "-N", r"\a"],
    ["127.0.0.1", "1", "-N", r"\X41"],
    ["127.0.0.1", "1", "-N", r"\xg1"],
    ["127.0.0.1"],
    ["127.0.0.1", "1", "2"],
])
def test_bad_remote_section_prints_usage_and_fails(pty_pair, remote):
    d = Daemon(["-vv", "-l", "serial", pty_pair.path, "-r", "raw", *remote])
    try:
        status, out, _ = d.wait_exit()
    finally:
        d.stop()
    assert (status, out) == (1, USAGE)


def test_help_needs_no_host_or_port(pty_pair):
    d = Daemon(["-l", "serial", pty_pair.path, "-r", "raw", "-h"])
    try:
        status, out, _ = d.wait_exit()
    finally:
        d.stop()
    assert (status, out) == (0, USAGE)


# --- limits and lifetimes ----------------------------------------------------------------------

def test_63rd_client_waits_until_one_leaves(daemon, pty_pair, sockets):
    port = free_port()
    d = start_server(daemon, pty_pair, port, "-N", r"\x00B")
    clients = [join(sockets, port, b"\x00B") for _ in range(62)]
    extra = connect(port)  # the listen backlog completes the handshake
    sockets.append(extra)
    # Once a tty byte has gone round, the daemon has seen the pending connection and left it.
    pty_pair.write(b"!")
    assert recv_exactly(clients[0], 1) == b"!"
    assert recv_exactly(clients[61], 1) == b"!"
    assert nothing_to_read(extra)
    assert d.count(r"got connection from") == 62
    clients[0].close()
    assert recv_exactly(extra, 2) == b"\x00B"
    pty_pair.write(b"?")
    assert recv_exactly(extra, 1) == b"?"
    assert recv_exactly(clients[1], 2) == b"!?"


def test_silent_client_is_dropped_after_peer_timeout(daemon, pty_pair, sockets):
    port = free_port()
    d = start_server(daemon, pty_pair, port, general=("-vv", "-w", "1"))
    s = join(sockets, port)
    wait_count(d, r"got connection from", 1)
    # Time-outs are only looked at when poll wakes up: tty bytes provide the wake-ups.
    wait_while_poking(d, r"peer timeout client\n", lambda: pty_pair.write(b"."))
    s.settimeout(10)
    while True:
        chunk = s.recv(4096)
        if not chunk:
            break
        assert set(chunk) == {ord(".")}
    d.wait_for(r"close tty\n")


def test_tty_is_open_only_while_a_client_is_connected(daemon, pty_pair, sockets):
    port = free_port()
    d = start_server(daemon, pty_pair, port)
    assert d.count(r"open tty") == 0
    assert not tty_locked(pty_pair.path)

    a = join(sockets, port)
    d.wait_for(r"open tty " + pty_pair.path)
    wait_lock_state(pty_pair.path, True)
    b = join(sockets, port)
    wait_count(d, r"got connection from", 2)
    a.close()
    wait_count(d, r"connection closed client\n", 1)
    assert d.count(r"close tty\n") == 0
    assert tty_locked(pty_pair.path)
    b.sendall(b"still open")
    assert pty_pair.read_exactly(10) == b"still open"

    b.close()
    d.wait_for(r"close tty\n")
    wait_lock_state(pty_pair.path, False)
    join(sockets, port)
    wait_count(d, r"open tty " + pty_pair.path, 2)
    wait_lock_state(pty_pair.path, True)


def test_bind_failure_ends_with_status_0(pty_pair):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        d = Daemon(["-vv", "-l", "serial", pty_pair.path, "-r", "raw", "127.0.0.1", str(port)])
        try:
            status, _, err = d.wait_exit()
        finally:
            d.stop()
    assert status == 0
    assert re.search(rb"\[ERROR\] plaintcp\[\d+\]: (errno: [^\n]*, )?tcp bind failed\n", err)
    assert b"entering server mode, listening on: 127.0.0.1:%d\n" % port in err


# --- client mode -------------------------------------------------------------------------------

def listener(port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(4)
    s.settimeout(10)
    return s


def accept_with_banner(server, banner):
    conn, _ = server.accept()
    assert recv_exactly(conn, len(banner)) == banner
    return conn


def test_client_mode_reconnects_and_sends_banner_each_time(daemon, pty_pair, sockets):
    port = free_port()
    server = listener(port)
    sockets.append(server)
    d = daemon(["-vvv", "-t", "1", "-l", "serial", pty_pair.path, "-r", "raw", "-C",
                "127.0.0.1", str(port), "-N", BANNER_TEXT])
    d.wait_for(rf"entering client mode, endpoint is: 127\.0\.0\.1:{port}\n")
    first = accept_with_banner(server, BANNER)
    sockets.append(first)
    first.sendall(ALL_BYTES)
    assert pty_pair.read_exactly(256) == ALL_BYTES
    pty_pair.write(ALL_BYTES)
    assert recv_exactly(first, 256) == ALL_BYTES

    first.close()
    second = accept_with_banner(server, BANNER)
    sockets.append(second)
    pty_pair.write(b"again")
    assert recv_exactly(second, 5) == b"again"
    assert d.count(r"tcp_connect failed") == 0

    # Nobody listens: an attempt every second, then the listener comes back.
    server.close()
    second.close()
    wait_count(d, r"tcp_connect failed\n", 3, timeout=20)
    assert d.count(r"connecting to 127\.0\.0\.1:%d\n" % port) >= 5
    server = listener(port)
    sockets.append(server)
    third = accept_with_banner(server, BANNER)
    sockets.append(third)
    third.sendall(b"back")
    assert pty_pair.read_exactly(4) == b"back"
    assert d.count(r"open tty") == 1
    assert d.count(r"close tty") == 0
