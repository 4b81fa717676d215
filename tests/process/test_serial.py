"""The serial local side end to end: wirebox with the raw remote side on loopback and a real pty
as its tty. The tty is opened when the first client connects, so each test connects one and
waits for a byte to cross to the pty before it looks at the line settings."""
import errno
import fcntl
import os
import termios
import time

import pytest

from conftest import Daemon, connect, free_port

USAGE = (
    "serial <tty> [options]         Plain serial port\n"
    "   -B, --baudrate=BAUDRATE         speed at which data travels in serial\n"
    "   -P, --parity=<none, even, odd>  parity bit settings\n"
    "   -S, --two-stopbits              amount of stopbits\n"
    "   -D, --databits=<5,6,7,8>        amount of databits\n"
    "   -F, --flow=<hardware, software, none>\n"
    "                                   which flow control to use, default: none\n"
    "   -I, --accum-interval=INTERVAL   maximum interval between data bursts in ms\n"
    "   -A, --accum-attempts=ATTEMPTS   defaults to 3\n"
    "   -T, --failopen-timeout=INTERVAL interval between a failed open attempt and a new \n"
    "                                   attempt to open port in ms\n"
    "   -R, --failopen-retries=ATTEMPTS defaults to 16\n"
    "   -h, --help                      print this message and exit\n"
    "\n"
).encode()

RATES = [50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
         57600, 115200, 230400]

IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED = range(6)
SOFT_FLOW = termios.IXON | termios.IXOFF | termios.IXANY


@pytest.fixture
def sockets():
    opened = []
    yield opened
    for s in opened:
        s.close()


def start(daemon, pty, *serial_opts):
    port = free_port()
    d = daemon(["-vv", "-l", "serial", pty.path, *serial_opts, "-r", "raw", "127.0.0.1", str(port)])
    d.wait_for(rf"listening at 127\.0\.0\.1:{port}\n")
    return d, port


def session(sockets, pty, port, marker=b"s"):
    """Connects a client and waits until its byte reached the pty: the tty is then configured."""
    s = connect(port)
    sockets.append(s)
    s.sendall(marker)
    assert pty.read_exactly(len(marker)) == marker
    return s


def run_to_exit(args, timeout=20):
    d = Daemon(args)
    try:
        return d.wait_exit(timeout)
    finally:
        d.stop()


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


def wait_until(cond, what, timeout=10):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.01)


def waits_in_flock(pid):
    """True while the process sleeps in the kernel's file-lock wait."""
    with open(f"/proc/{pid}/wchan") as f:
        wchan = f.read()
    return "lock_inode_wait" in wchan or "flock" in wchan


@pytest.mark.parametrize("rate", RATES)
def test_every_rate_reaches_the_tty(daemon, pty_pair, sockets, rate):
    _, port = start(daemon, pty_pair, "-B", str(rate))
    session(sockets, pty_pair, port)
    attrs = pty_pair.termios()
    expected = getattr(termios, f"B{rate}")
    assert (attrs[ISPEED], attrs[OSPEED]) == (expected, expected)


def test_default_line_is_raw_9600_one_stop_bit_no_flow_control(daemon, pty_pair, sockets):
    # Undo the fixture's raw mode so the daemon's configuration is what is seen.
    attrs = pty_pair.termios()
    attrs[LFLAG] |= termios.ECHO | termios.ICANON
    attrs[IFLAG] |= termios.ICRNL | SOFT_FLOW
    attrs[OFLAG] |= termios.OPOST
    termios.tcsetattr(pty_pair.slave, termios.TCSANOW, attrs)
    _, port = start(daemon, pty_pair)
    session(sockets, pty_pair, port)
    attrs = pty_pair.termios()
    assert (attrs[IFLAG], attrs[OFLAG], attrs[LFLAG]) == (0, 0, 0)
    assert attrs[CFLAG] & (termios.CSTOPB | termios.CRTSCTS) == 0
    assert attrs[CFLAG] & (termios.CREAD | termios.CLOCAL) == termios.CREAD | termios.CLOCAL
    assert attrs[OSPEED] == termios.B9600


@pytest.mark.parametrize("opts, iflag, cflag", [
    (["-S"], 0, termios.CSTOPB),
    (["-F", "hardware"], 0, termios.CRTSCTS),
    (["--flow=software"], termios.IXON | termios.IXOFF, 0),
    (["-F", "none"], 0, 0),
])
def test_stop_bits_and_flow_control_reach_the_tty(daemon, pty_pair, sockets, opts, iflag, cflag):
    _, port = start(daemon, pty_pair, *opts)
    session(sockets, pty_pair, port)
    attrs = pty_pair.termios()
    assert attrs[IFLAG] & SOFT_FLOW == iflag
    assert attrs[CFLAG] & (termios.CSTOPB | termios.CRTSCTS) == cflag


def serial_args(*section):
    return ["-l", "serial", *section, "-r", "raw", "127.0.0.1", "1"]


@pytest.mark.parametrize("section", [
    ["/dev/null", "-B", "14400"],
    ["/dev/null", "-B", "0"],
    ["/dev/null", "-P", "EVEN"],
    ["/dev/null", "-F", "rtscts"],
    ["/dev/null", "-D", "9"],
    ["/dev/null", "-D", "4"],
    ["/dev/null", "-I", "abc"],
    ["/dev/null", "-I-5"],
    ["/dev/null", "--accum-attempts=-1"],
    ["/dev/null", "-A", "many"],
    ["/dev/null", "-T", "soon"],
    ["/dev/null", "-R-1"],
    ["/dev/null", "--failopen-retries= -1"],
    [],
    ["/dev/null", "/dev/zero"],
], ids=lambda s: " ".join(s) or "no-path")
def test_bad_section_prints_usage_and_exits_1(section):
    rc, out, _ = run_to_exit(serial_args(*section))
    assert (rc, out) == (1, USAGE)


def test_negative_number_as_separate_word_is_a_parser_error():
    rc, out, err = run_to_exit(serial_args("/dev/null", "-A", "-1"))
    assert (rc, out) == (1, b"")
    assert b"serial: -A: option requires an option argument\n" in err


def test_help_prints_usage_and_exits_0():
    rc, out, _ = run_to_exit(serial_args("-h"))
    assert (rc, out) == (0, USAGE)


def test_unopenable_tty_uses_up_retries_then_exits_1(daemon, sockets):
    port = free_port()
    d = daemon(["-vv", "-l", "serial", "/nonexistent/tty", "-R", "3", "-T", "100",
                "-r", "raw", "127.0.0.1", str(port)])
    d.wait_for(rf"listening at 127\.0\.0\.1:{port}\n")
    sockets.append(connect(port))
    rc, _, err = d.wait_exit(20)
    assert rc == 1
    lines = [l for l in err.decode().splitlines() if "serial[" in l]
    bodies = [l.split("]: ", 1)[1] for l in lines]
    assert bodies == [
        "open tty /nonexistent/tty",
        "open tty /nonexistent/tty failed, waiting 100 ms (2 retries left)",
        "open tty /nonexistent/tty failed, waiting 100 ms (1 retries left)",
        "open tty /nonexistent/tty failed, waiting 100 ms (0 retries left)",
        "errno: No such file or directory, Failed to open tty /nonexistent/tty, no retries left,"
        " exiting",
    ]
    assert lines[-1].startswith("[ERROR] ")


def test_zero_retries_exit_at_first_open(daemon, pty_pair, sockets):
    d, port = start(daemon, pty_pair, "-R", "0")
    sockets.append(connect(port))
    rc, _, err = d.wait_exit(10)
    assert rc == 1
    assert b"failed, waiting" not in err
    assert f"Failed to open tty {pty_pair.path}, no retries left, exiting\n".encode() in err


def test_second_daemon_waits_for_the_lock(daemon, pty_pair, sockets):
    _, port1 = start(daemon, pty_pair)
    first = session(sockets, pty_pair, port1, b"1")
    assert tty_locked(pty_pair.path)

    second, port2 = start(daemon, pty_pair)
    s2 = connect(port2)
    sockets.append(s2)
    second.wait_for(rf"open tty {pty_pair.path}\n")
    wait_until(lambda: waits_in_flock(second.proc.pid), "second wirebox never waited on the lock")
    s2.sendall(b"2")
    # The first still owns the line: its bytes pass, the second's stay queued.
    first.sendall(b"A")
    assert pty_pair.read_exactly(1) == b"A"
    assert waits_in_flock(second.proc.pid)

    first.close()
    assert pty_pair.read_exactly(1) == b"2"
    assert second.count(r"flock failed") == 0


def test_tty_is_open_only_while_clients_are_connected(daemon, pty_pair, sockets):
    d, port = start(daemon, pty_pair, "-B", "19200", "-F", "hardware")
    assert not tty_locked(pty_pair.path)
    for round_no in (1, 2):
        s = session(sockets, pty_pair, port)
        assert tty_locked(pty_pair.path)
        attrs = pty_pair.termios()
        assert attrs[OSPEED] == termios.B19200
        assert attrs[CFLAG] & termios.CRTSCTS
        s.close()
        d.wait_for(rf"(?s)(close tty\n.*){{{round_no}}}")
        wait_until(lambda: not tty_locked(pty_pair.path), "tty still locked after close")
        # Someone else changes the line while nobody is connected.
        attrs[CFLAG] &= ~termios.CRTSCTS
        attrs[ISPEED] = attrs[OSPEED] = termios.B4800
        termios.tcsetattr(pty_pair.slave, termios.TCSANOW, attrs)
    assert d.count(r"open tty .*\n") == 2
