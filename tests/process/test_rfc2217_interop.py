"""The rfc2217 side against real peers: pyserial's rfc2217:// client against wirebox's server,
and wirebox's client mode against ser2net's RFC 2217 accepter. Each side's tty is a pty played
by the test; glibc refuses character sizes 6 and 7 and even parity on a pty, so those are not
requested."""
import os
import random
import shutil
import subprocess
import tempfile
import termios
import threading

import pytest
import serial

from conftest import Pty, free_port, wait_until

IFLAG, CFLAG, OSPEED = 0, 2, 5
PAYLOAD = bytes(range(256)) * 4096  # 1 MiB, every byte value
SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"


def start_server(daemon, pty):
    port = free_port()
    d = daemon(["-vv", "-l", "serial", pty.path, "-r", "rfc2217", "127.0.0.1", str(port)])
    d.wait_for(rf"listening at 127\.0\.0\.1:{port}\n")
    return d, port


def pump(write, read, data):
    """Writes data on one side in a thread while reading it whole on the other."""
    writer = threading.Thread(target=write, args=(data,))
    writer.start()
    got = read(len(data))
    writer.join(30)
    return got


def test_pyserial_client_sets_the_line_and_moves_every_byte(daemon, pty_pair):
    _, port = start_server(daemon, pty_pair)
    port = serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", baudrate=9600, timeout=30)
    try:
        steps = [
            ("baudrate", 115200, lambda a: a[OSPEED] == termios.B115200),
            ("bytesize", 5, None),  # a pty keeps CS8; the answer tells what the line got
            ("bytesize", 8, None),  # glibc refuses parity with size 5 on a pty
            ("parity", serial.PARITY_ODD, lambda a: a[CFLAG] & termios.PARODD),
            ("stopbits", serial.STOPBITS_TWO, lambda a: a[CFLAG] & termios.CSTOPB),
            ("rtscts", True, lambda a: a[CFLAG] & termios.CRTSCTS),
            ("rtscts", False, lambda a: not a[CFLAG] & termios.CRTSCTS),
            ("xonxoff", True, lambda a: a[IFLAG] & termios.IXON and a[IFLAG] & termios.IXOFF),
            ("parity", serial.PARITY_NONE, None), ("xonxoff", False, None),
        ]
        for attr, value, check in steps:
            setattr(port, attr, value)
            if check:
                assert check(pty_pair.termios()), (attr, value)
        port.baudrate = 230400
        assert pump(port.write, pty_pair.read_exactly, PAYLOAD) == PAYLOAD
        assert pump(pty_pair.write, port.read, PAYLOAD) == PAYLOAD
        # Mark parity leaves the line without parity and is answered so: pyserial refuses it.
        with pytest.raises(ValueError, match="remote rejected value for option 'parity'"):
            port.parity = serial.PARITY_MARK
    finally:
        port.close()


@pytest.fixture
def ser2net():
    """Factory: ser2net serving a fresh pty with an RFC 2217 accepter; returns (pty, port)."""
    started = []
    workdir = tempfile.mkdtemp(prefix="wirebox-ser2net.")

    def start():
        pty, port = Pty(), free_port()
        config = os.path.join(workdir, "ser2net.yaml")
        with open(config, "w") as f:
            f.write(f"""%YAML 1.1
---
connection: &rfc2217
    accepter: telnet(rfc2217),tcp,127.0.0.1,{port}
    enable: on
    connector: serialdev,{pty.path},9600n81,local
    options:
      chardelay: false
""")
        proc = subprocess.Popen([SER2NET, "-n", "-d", "-u", "-c", config],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append((proc, pty))
        return pty, port

    yield start
    for proc, pty in started:
        proc.terminate()
        proc.wait(5)
        pty.close()
    shutil.rmtree(workdir)


@pytest.mark.skipif(not os.access(SER2NET, os.X_OK), reason="ser2net is not installed")
def test_wirebox_client_pushes_settings_to_ser2net(daemon, pty_pair, ser2net):
    remote, port = ser2net()
    d = daemon(["-vv", "-t", "1", "-l", "serial", pty_pair.path, "-r", "rfc2217", "127.0.0.1",
                str(port), "-C", "-B", "19200", "-P", "odd", "-S", "-F", "hardware",
                "-A", "required"])
    for setting in ("Baudrate", "Parity", "Stopsize", "Flowcontrol"):
        d.wait_for(rf"{setting} ack complete: \w+ matches\n")

    def line_set():
        a = remote.termios()
        return (a[OSPEED] == termios.B19200 and a[CFLAG] & termios.PARODD
                and a[CFLAG] & termios.CSTOPB and a[CFLAG] & termios.CRTSCTS)

    wait_until(line_set, "ser2net's tty never got the settings")
    data = random.Random(2217).randbytes(64 * 1024) + bytes(range(256))
    assert pump(pty_pair.write, remote.read_exactly, data) == data
    assert pump(remote.write, pty_pair.read_exactly, data) == data
