"""The serial local side end to end: wirebox with the raw remote side on loopback and a real pty
as its tty. The tty is opened when the first client connects, so each test waits for a client's
byte to cross to the pty before it looks at the line settings."""
import termios

import pytest

from conftest import join, serve, wait_until

IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED = range(6)
RATES = [50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
         57600, 115200, 230400]
B9600 = termios.B9600
SETTINGS = [([], B9600, 0, 0)] + [
    (["-B", str(r)], getattr(termios, f"B{r}"), 0, 0) for r in RATES] + [
    (["-S"], B9600, 0, termios.CSTOPB), (["-F", "hardware"], B9600, 0, termios.CRTSCTS),
    (["--flow=software"], B9600, termios.IXON | termios.IXOFF, 0), (["-F", "none"], B9600, 0, 0)]


def session(sockets, pty, port, marker=b"s"):
    """Connects a client and waits until its byte reached the pty: the tty is then configured."""
    s = join(sockets, port)
    s.sendall(marker)
    assert pty.read_exactly(len(marker)) == marker
    return s


@pytest.mark.parametrize("opts, speed, iflag, cflag", SETTINGS,
                         ids=[" ".join(s[0]) or "defaults" for s in SETTINGS])
def test_line_settings_reach_the_tty(daemon, pty_pair, sockets, opts, speed, iflag, cflag):
    # Start from a cooked line so that what is read back is the daemon's raw configuration.
    attrs = termios.tcgetattr(pty_pair.slave)
    attrs[LFLAG] |= termios.ECHO | termios.ICANON
    attrs[IFLAG] |= termios.ICRNL | termios.IXON | termios.IXOFF | termios.IXANY
    attrs[OFLAG] |= termios.OPOST
    termios.tcsetattr(pty_pair.slave, termios.TCSANOW, attrs)
    _, port = serve(daemon, pty_pair.path, "raw", local=opts)
    session(sockets, pty_pair, port)
    attrs = termios.tcgetattr(pty_pair.slave)
    assert (attrs[IFLAG], attrs[OFLAG], attrs[LFLAG]) == (iflag, 0, 0)
    mask = termios.CSTOPB | termios.CRTSCTS | termios.CREAD | termios.CLOCAL
    assert attrs[CFLAG] & mask == cflag | termios.CREAD | termios.CLOCAL
    assert (attrs[ISPEED], attrs[OSPEED]) == (speed, speed)


@pytest.mark.parametrize("path, retries", [("/nonexistent/tty", 3), (None, 0)])
def test_open_retries_run_out_then_exit_1(daemon, pty_pair, sockets, path, retries):
    path = path or pty_pair.path
    d, port = serve(daemon, path, "raw", local=("-R", str(retries), "-T", "100"))
    join(sockets, port)
    rc, _, err = d.wait_exit(20)
    lines = [line for line in err.decode().splitlines() if "serial[" in line]
    assert [line.split("]: ", 1)[1] for line in lines] == [f"open tty {path}"] + [
        f"open tty {path} failed, waiting 100 ms ({n} retries left)"
        for n in reversed(range(retries))] + [
        ("errno: No such file or directory, " if retries else "")
        + f"Failed to open tty {path}, no retries left, exiting"]
    assert (rc, lines[-1][:8]) == (1, "[ERROR] ")


def waits_in_flock(pid):
    with open(f"/proc/{pid}/wchan") as f:
        wchan = f.read()
    return "lock_inode_wait" in wchan or "flock" in wchan


def test_tty_stays_locked_until_the_last_client_leaves(daemon, pty_pair, sockets):
    _, port1 = serve(daemon, pty_pair.path, "raw")
    first, other = session(sockets, pty_pair, port1, b"1"), session(sockets, pty_pair, port1, b"o")
    second, port2 = serve(daemon, pty_pair.path, "raw")
    join(sockets, port2).sendall(b"2")
    second.wait_for(rf"open tty {pty_pair.path}\n")
    wait_until(lambda: waits_in_flock(second.proc.pid), "second wirebox never waited on the lock")
    # While one of its clients remains, the first keeps the line: the second's byte stays queued.
    first.close()
    other.sendall(b"A")
    assert pty_pair.read_exactly(1) == b"A"
    assert waits_in_flock(second.proc.pid)
    other.close()
    assert pty_pair.read_exactly(1) == b"2"
    assert second.count(r"flock failed") == 0
