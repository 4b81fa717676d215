"""The serial + raw pair end to end: a real pty as the tty, real loopback clients and servers."""
import os
import random
import re
import select
import signal
import socket
import time

import pytest

from conftest import (accept, cpu_ms_over, join, keepalive, listener, recv_exactly,
                      rss_unreliable, serve, stats, usage, wait_until)

ALL_BYTES = bytes(range(256))
BANNER_TEXT = r"hi\r\n\t\\\x7f\x00\xfF\xA0!"
BANNER = b"hi\r\n\t\\\x7f\x00\xff\xa0!"


def wait_count(d, pattern, n, timeout=10):
    d.wait_for(rf"(?s)(?:{pattern}.*?){{{n}}}", timeout=timeout)


def wait_tty_open(d, path):
    """Waits until the daemon holds a descriptor of the tty."""
    fds = f"/proc/{d.proc.pid}/fd"
    wait_until(lambda: path in {os.path.realpath(f"{fds}/{fd}") for fd in os.listdir(fds)}, path)


def test_every_byte_reaches_every_client_after_the_banner_and_back(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "raw", "-N", BANNER_TEXT)
    clients = [join(sockets, port, BANNER) for _ in range(3)]
    early = bytes(range(100))
    pty_pair.write(early)
    for s in clients:
        assert recv_exactly(s, len(early)) == early
    clients.append(join(sockets, port, BANNER))  # gets only what the tty sends from now on
    keepalive(port)
    data = ALL_BYTES * 16
    pty_pair.write(data)
    for i, s in enumerate(clients):
        assert recv_exactly(s, len(data)) == data, f"client {i}"
    assert d.count(r"got connection from 127\.0\.0\.1:") == 4
    # The clients' bytes reach the tty whole and in arrival order.
    for i, s in enumerate(clients):
        chunk = bytes([0x30 + i]) * 50 + ALL_BYTES
        s.sendall(chunk)
        assert pty_pair.read_exactly(len(chunk)) == chunk
    # Concurrent senders: each client's own bytes stay in order. Byte values tell clients apart.
    streams = [bytes(64 * i + (k % 64) for k in range(3000)) for i in range(len(clients))]
    for part in range(0, 3000, 500):
        for s, stream in zip(clients, streams):
            s.sendall(stream[part:part + 500])
    got = pty_pair.read_exactly(3000 * len(clients))
    for i, stream in enumerate(streams):
        assert bytes(b for b in got if b // 64 == i) == stream, f"client {i}"


def test_statistics_readiness_and_a_clean_stop(daemon, pty_pair, sockets, monkeypatch):
    manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sockets.append(manager)
    manager.bind(f"\0wirebox-test-{os.getpid()}")
    manager.settimeout(10)
    monkeypatch.setenv("NOTIFY_SOCKET", f"@wirebox-test-{os.getpid()}")
    d, port = serve(daemon, pty_pair.path, "raw", "-N", "hi", local=("-B", "19200", "-S"))
    assert manager.recv(64) == b"READY=1"
    a, b = join(sockets, port, b"hi"), join(sockets, port, b"hi")
    assert [manager.recv(64) for _ in (a, b)] == [b"STATUS=1 client, tty open",
                                                   b"STATUS=2 clients, tty open"]
    pty_pair.write(ALL_BYTES)
    assert [recv_exactly(s, 256) for s in (a, b)] == [ALL_BYTES] * 2
    data = random.Random(5).randbytes(32 << 10)
    a.sendall(data)
    assert pty_pair.read_exactly(len(data)) == data
    assert stats(d, "tty") == [{"path": pty_pair.path, "open": "yes", "speed": "19200",
                                "databits": "8", "parity": "none", "stopbits": "2", "flow": "none",
                                "read": "256", "written": "32768", "opens": "1", "hangups": "0"}]
    assert [(c["sent"], c["received"], c["queued"]) for c in stats(d, "client", 2)] == [
        ("258", "32768", "0"), ("258", "0", "0")]
    assert {k: v for k, v in stats(d, "process")[0].items() if k != "uptime"} == {
        "local": "serial", "remote": "raw", "mode": "server", "clients": "2", "accepted": "2",
        "refused": "0", "closed": "0", "dropped_lagging": "0", "dropped_timeout": "0",
        "dropped_error": "0"}
    # A clean stop: the tty gets what the daemon has read, though the device reads only then.
    b.sendall(data)
    wait_until(lambda: stats(d, "client", 2)[1]["received"] == "32768", "all read")
    d.proc.send_signal(signal.SIGTERM)
    assert pty_pair.read_exactly(len(data)) == data
    assert d.wait_exit()[0] == 0 and manager.recv(64) == b"STOPPING=1"
    assert d.err.endswith(b"stopping on signal 15: 0 bytes for the tty were not sent\n")
    # A device that takes nothing more holds a stop up for one second, not for ever; a second
    # signal ends the process at once.
    ends = []
    for second in (0, signal.SIGINT):
        d, port = serve(daemon, pty_pair.path, "raw")
        join(sockets, port).sendall(data)
        wait_until(lambda: stats(d, "client")[0]["received"] == "32768", "all read")
        d.proc.send_signal(signal.SIGTERM)
        while manager.recv(64) != b"STOPPING=1":
            pass
        if second:
            d.proc.send_signal(second)
        assert d.wait_exit()[0] == -second
        ends.append(re.findall(rb"stopping on signal 15: (\d+) bytes for the tty were not sent\n$",
                               d.err))
    assert int(ends[0][0]) > 0 and ends[1] == []


def test_63rd_client_waits_until_one_leaves(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "raw", "-N", r"\x00B")
    clients = [join(sockets, port, b"\x00B") for _ in range(62)]
    extra = join(sockets, port)  # the listen backlog completes the handshake
    # Once a tty byte has gone round, the daemon has seen the pending connection and left it.
    pty_pair.write(b"!")
    assert [recv_exactly(s, 1) for s in (clients[0], clients[61])] == [b"!", b"!"]
    extra.setblocking(False)
    with pytest.raises(BlockingIOError):
        extra.recv(1)
    assert d.count(r"got connection from") == 62
    assert cpu_ms_over(d.proc.pid, 2) < 50  # a full house sleeps
    clients[0].close()
    assert recv_exactly(extra, 2) == b"\x00B"
    pty_pair.write(b"?")
    assert recv_exactly(extra, 1) == b"?"
    assert recv_exactly(clients[1], 2) == b"!?"


def test_idle_loop_never_wakes_and_silent_client_is_dropped_on_time(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "raw")
    join(sockets, port)
    wait_tty_open(d, pty_pair.path)
    wait_until(lambda: open(f"/proc/{d.proc.pid}/stat").read().split(") ")[1][0] == "S", "poll")
    switches = usage(d.proc.pid)[1]
    time.sleep(5)  # the measuring window
    assert usage(d.proc.pid)[1] == switches
    d.stop()
    d, port = serve(daemon, pty_pair.path, "raw", "-N", "", general=("-vv", "-w", "2"))
    start = time.monotonic()
    assert join(sockets, port).recv(1) == b""  # dropped, and an empty banner sent nothing
    assert 2 <= time.monotonic() - start < 4
    busy = join(sockets, port)  # held back while the tty is behind, which is not silence
    busy.sendall(bytes(128 << 10))  # more than the tty and the queue take, less than the socket
    assert cpu_ms_over(d.proc.pid, 3) < 50  # past its own time-out, and asleep all along
    assert not select.select([busy], [], [], 0)[0] and d.count(r"peer timeout client\n") == 1
    busy.shutdown(socket.SHUT_WR)  # now it has gone, and the tty still takes none of its bytes
    gone = d.wait_for(r"\[WARNING\] connector\[\d+\]: client 127\.0\.0\.1:\d+ has closed and "
                      r"the tty took none of its bytes for 2 s, disconnecting \((\d+) unread bytes "
                      r"discarded")
    assert int(gone[1]) > 0


def test_tty_hang_up_closes_it_and_exits_after_the_retries(daemon, pty_pair, sockets, tmp_path):
    link = tmp_path / "tty"  # a new pty may take the number at once: the name goes with it
    link.symlink_to(pty_pair.path)
    d, port = serve(daemon, str(link), "raw", local=("-T", "1000", "-R", "3"))
    join(sockets, port)
    wait_tty_open(d, pty_pair.path)
    link.unlink()
    pty_pair.close()  # the device is gone for good
    pty_pair.close = lambda: None
    d.wait_for(r"\[WARNING\] connector\[\d+\]: tty hung up, closing it\n")
    assert cpu_ms_over(d.proc.pid, 2) < 50
    assert (d.wait_exit()[0], d.count(r"no retries left, exiting\n")) == (1, 1)


def pump(data, write_fd, read_fd, sent=0, until=float("inf")):
    """Writes data[sent:] to write_fd (until then), reads it all from read_fd: (bytes, times)."""
    got, reads = bytearray(), []
    while (writing := sent < len(data) and time.monotonic() < until) or len(got) < sent:
        r, w, _ = select.select([read_fd], [write_fd] if writing else [], [], 10)
        assert r or w, f"stalled after {len(got)} of {sent} bytes"
        if w:
            sent += os.write(write_fd, data[sent:sent + 65536])
        if r:
            got += os.read(read_fd, 65536) or pytest.fail(f"closed after {len(got)} bytes")
            reads.append(time.monotonic())
    return bytes(got), reads


def test_memory_stays_bounded_whatever_clients_do(daemon, pty_pair, sockets):
    d, port = serve(daemon, pty_pair.path, "raw")
    sender, stalled = join(sockets, port), join(sockets, port)  # the second never reads
    wait_count(d, r"got connection from", 2)
    idle, check_rss = usage(d.proc.pid)[2], not rss_unreliable(d.proc.pid)
    data = random.Random(9).randbytes(20 << 20)
    sender.setblocking(False)
    sent = 0  # until the daemon takes no more while the device is not reading
    while sent < len(data) and select.select([], [sender], [], 1)[1]:
        sent += sender.send(data[sent:sent + 65536])
    assert not check_rss or usage(d.proc.pid)[2] - idle < 1024
    assert pump(data, sender.fileno(), pty_pair.master, sent)[0] == data
    data = data[:16 << 20]
    assert pump(data, pty_pair.master, sender.fileno())[0] == data
    m = d.wait_for(r"\[WARNING\] connector\[\d+\]: client 127\.0\.0\.1:(\d+) is (\d+) bytes behind")
    assert int(m[1]) == stalled.getsockname()[1] and 0 <= int(m[2]) - (4 << 20) < 256
    stalled.settimeout(10)
    assert data.startswith(b"".join(iter(lambda: stalled.recv(65536), b"")))
    assert not check_rss or usage(d.proc.pid)[2] - idle < 256
    # A client that closes while its bytes wait keeps its place until the tty has them all.
    sent = 0
    while select.select([], [sender], [], 1)[1]:
        sent += sender.send(data[sent:sent + 65536])
    sender.shutdown(socket.SHUT_WR)
    assert pty_pair.read_exactly(sent) == data[:sent]
    sender.settimeout(10)
    assert sender.recv(1) == b""


def test_gathering_bursts_never_starves_the_clients(daemon, pty_pair, sockets):
    _, port = serve(daemon, pty_pair.path, "raw", local=("-I", "1", "-A", "8"))
    data, until = random.Random(19).randbytes(128 << 20), time.monotonic() + 2
    got, reads = pump(data, pty_pair.master, join(sockets, port).fileno(), until=until)
    assert got == data[:len(got)]
    # A device writing without pause for 2 s (or all the data) leaves a client read every 500 ms.
    assert max(b - a for a, b in zip(reads, reads[1:]) if a < until) < 0.5, len(got)


def test_client_mode_reconnects_and_sends_banner_each_time(daemon, pty_pair, sockets):
    server = listener(sockets)
    port = server.getsockname()[1]
    d = daemon(["-vvv", "-t", "1", "-l", "serial", pty_pair.path, "-r", "raw", "-C",
                "127.0.0.1", str(port), "-N", BANNER_TEXT])
    d.wait_for(rf"entering client mode, endpoint is: 127\.0\.0\.1:{port}\n")
    first = accept(server, sockets, BANNER)
    keepalive(port, "dport")
    first.sendall(ALL_BYTES)
    assert pty_pair.read_exactly(256) == ALL_BYTES
    pty_pair.write(ALL_BYTES)
    assert recv_exactly(first, 256) == ALL_BYTES

    first.close()
    second = accept(server, sockets, BANNER)
    pty_pair.write(b"again")
    assert recv_exactly(second, 5) == b"again"
    assert d.count(r"tcp_connect failed") == 0

    # Nobody listens: an attempt every second, then the listener comes back.
    server.close()
    second.close()
    wait_count(d, r"tcp_connect failed\n", 3, timeout=20)
    assert d.count(r"connecting to 127\.0\.0\.1:%d\n" % port) >= 5
    accept(listener(sockets, port), sockets, BANNER).sendall(b"back")
    assert pty_pair.read_exactly(4) == b"back"
    assert (d.count(r"open tty"), d.count(r"close tty")) == (1, 0)
