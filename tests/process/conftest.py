"""Black-box test support: every wait has a deadline, every process is stopped by PID, and a
failing test prints the daemon's standard error."""
import os
import pty
import re
import select
import shlex
import signal
import socket
import subprocess
import tempfile
import time
import tty

import pytest

WIREBOX = os.environ.get("WIREBOX", os.path.join(os.path.dirname(__file__), "../../build/wirebox"))
# Words that start a cross-built program, e.g. an emulator: WIREBOX_EXEC_PREFIX="qemu-arm -L ...".
EXEC_PREFIX = shlex.split(os.environ.get("WIREBOX_EXEC_PREFIX", ""))


HELP = os.path.join(os.path.dirname(__file__), "help")


def help_text(name):
    """An expected help text from help/, byte for byte as the program prints it."""
    with open(os.path.join(HELP, name)) as f:
        return f.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Pty:
    """A raw pty pair: the test plays the device on `master`, wirebox opens `path`."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)
        for fd in (self.master, self.slave):
            tty.setraw(fd)
        os.set_blocking(self.master, False)

    def write(self, data, timeout=10):
        deadline = time.monotonic() + timeout
        view = memoryview(data)
        while view:
            if not select.select([], [self.master], [], max(0, deadline - time.monotonic()))[1]:
                raise TimeoutError("pty write")
            view = view[os.write(self.master, view):]

    def read_exactly(self, n, timeout=10):
        deadline = time.monotonic() + timeout
        buf = b""
        while len(buf) < n:
            if not select.select([self.master], [], [], max(0, deadline - time.monotonic()))[0]:
                raise TimeoutError(f"pty read: got {len(buf)} of {n} bytes: {buf!r}")
            buf += os.read(self.master, n - len(buf))
        return buf

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Daemon:
    """A wirebox process in the foreground; its standard error collects in a file."""

    def __init__(self, args):
        self.args = [WIREBOX] + list(args)
        self.errfile = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(EXEC_PREFIX + self.args, stdout=subprocess.PIPE,
                                     stderr=self.errfile)

    @property
    def err(self):
        fd = self.errfile.fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0)

    def wait_for(self, pattern, timeout=10):
        """Waits until stderr matches the regex `pattern`; returns the match."""
        rx = re.compile(pattern.encode() if isinstance(pattern, str) else pattern)
        wait_until(lambda: rx.search(self.err) or self.proc.poll() is not None,
                   f"no {pattern!r} in stderr", timeout)
        m = rx.search(self.err)
        assert m, f"no {pattern!r} in stderr, exit status {self.proc.returncode}"
        return m

    def count(self, pattern):
        return len(re.findall(pattern.encode() if isinstance(pattern, str) else pattern, self.err))

    def wait_exit(self, timeout=10):
        self.proc.wait(timeout)
        return self.proc.returncode, self.proc.stdout.read(), self.err

    def stop(self):
        self.proc.kill()  # does nothing once the process has been waited for
        self.proc.wait(5)
        self.proc.stdout.close()


def usage(pid):
    """(CPU ms, context switches, RssAnon KiB) of a single-threaded process, from /proc."""
    with open(f"/proc/{pid}/schedstat") as f:
        cpu_ms = int(f.read().split()[0]) / 1e6
    with open(f"/proc/{pid}/status") as f:
        status = {k: v.split()[:1] for k, _, v in (line.partition(":") for line in f)}
    switches = (int(status[f"{kind}voluntary_ctxt_switches"][0]) for kind in ("", "non"))
    return cpu_ms, sum(switches), int(status["RssAnon"][0])


def cpu_ms_over(pid, seconds):
    before = usage(pid)[0]
    time.sleep(seconds)  # the measuring window, not a wait for anything
    return usage(pid)[0] - before


def rss_unreliable(pid):
    """Memory figures of a sanitizer build, or of a program under an emulator (which ignores the
    madvise that gives freed memory back), say nothing about the daemon's own use."""
    with open(f"/proc/{pid}/maps") as f:
        return bool(EXEC_PREFIX) or "libasan" in f.read()


def stats(d, subject, n=1):
    """SIGUSR1, then the key=value words of the n new "stats <subject>" lines."""
    before = d.count(rf"stats {subject} ")
    d.proc.send_signal(signal.SIGUSR1)
    d.wait_for(rf"(?s)(?:stats {subject} .*?){{{before + n}}}")
    lines = re.findall(rf"stats {subject} (.*)\n".encode(), d.err)[before:]
    return [dict(w.split("=", 1) for w in line.decode().split()) for line in lines]


def connect(port, timeout=10):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def serve(daemon, tty, remote, *remote_opts, general=("-vv",), local=()):
    """Starts wirebox serving `tty` on a free loopback port; returns it once it listens."""
    port = free_port()
    d = daemon([*general, "-l", "serial", tty, *local, "-r", remote, "127.0.0.1", str(port),
                *remote_opts])
    d.wait_for(rf"listening at 127\.0\.0\.1:{port}\n")
    return d, port


def join(sockets, port, expect=b""):
    """Connects a client and reads the `expect` bytes it must get first."""
    s = connect(port)
    sockets.append(s)
    assert recv_exactly(s, len(expect)) == expect
    return s


def listener(sockets, port=0):
    server = socket.create_server(("127.0.0.1", port))
    server.settimeout(10)
    sockets.append(server)
    return server


def accept(server, sockets, expect):
    conn, _ = server.accept()
    sockets.append(conn)
    assert recv_exactly(conn, len(expect)) == expect
    return conn


def keepalive(port, end="sport"):
    """Waits until ss shows a keepalive timer of about a minute (not the system's two hours) on
    each connection with `port` at `end`: sport for wirebox's accepted ones, dport for its own."""
    ss = ["ss", "-tnoH", "state", "established", f"( {end} = :{port} )"]
    timers = re.compile(r"timer:\(keepalive,(1min,|[45]\d\D)")
    wait_until(lambda: (out := subprocess.run(ss, capture_output=True, text=True).stdout)
               and out.count("\n") == len(timers.findall(out)), f"keepalive timers at :{port}")


def recv_exactly(sock, n, timeout=10):
    sock.settimeout(timeout)
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise EOFError(f"closed after {len(buf)} of {n} bytes: {bytes(buf)!r}")
        buf += chunk
    return bytes(buf)


@pytest.fixture
def pty_pair():
    p = Pty()
    yield p
    p.close()


@pytest.fixture
def daemon():
    """Factory: daemon(args) starts wirebox; every process started is stopped at teardown, and
    its standard error printed (pytest shows it only when the test failed)."""
    started = []

    def start(args):
        d = Daemon(args)
        started.append(d)
        return d

    yield start
    for d in started:
        d.stop()
        print(f"--- wirebox {' '.join(d.args[1:])} stderr:\n{d.err.decode(errors='replace')}")


SLAVE = os.environ.get("MODBUS_SLAVE", os.path.dirname(WIREBOX) + "/modbus_slave")


@pytest.fixture
def gateway(daemon, pty_pair, sockets):
    """gateway(device options, wirebox options) starts the Modbus RTU device (modbus_slave, unit
    17) on the pty's master end and wirebox as its gateway; returns wirebox and its clients."""
    device = []

    def start(device_opts="", rtu="", tcp="", tty=pty_pair.path, clients=2):
        device.append(subprocess.Popen([*EXEC_PREFIX, SLAVE, str(pty_pair.master), "17",
                                        *device_opts.split()], pass_fds=[pty_pair.master]))
        port = free_port()
        d = daemon(["-vvv", "-l", "modbusrtu", tty, *rtu.split(), "-r", "modbustcp",
                    "127.0.0.1", str(port), *tcp.split()])
        d.wait_for("Waiting on poll")  # the listener is up
        d.port = port
        sockets.extend(connect(port) for _ in range(clients))
        return d, *sockets[-clients:]

    yield start
    for p in device:
        p.kill()
        p.wait(5)


def wait_until(cond, what, timeout=10):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.01)


@pytest.fixture
def sockets():
    """Collects the sockets a test opens and closes them at teardown."""
    opened = []
    yield opened
    for s in opened:
        s.close()
