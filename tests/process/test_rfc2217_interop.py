"""The rfc2217 client mode against ser2net's RFC 2217 accepter, each side's tty a pty played by
the test (pyserial's rfc2217:// client meets the server in the soak test)."""
import os
import shutil
import subprocess
import termios
import threading

import pytest

from conftest import Pty, free_port, wait_until

CFLAG, OSPEED = 2, 5
PAYLOAD = bytes(range(256)) * 256  # every byte value, 64 KiB
SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"


def pump(write, read):
    """Writes the payload on one side in a thread while reading it whole on the other."""
    writer = threading.Thread(target=write, args=(PAYLOAD,))
    writer.start()
    got = read(len(PAYLOAD))
    writer.join(30)
    assert got == PAYLOAD


def settings_reached(pty):
    a = termios.tcgetattr(pty.slave)
    return (a[OSPEED] == termios.B19200 and a[CFLAG] & termios.PARODD
            and a[CFLAG] & termios.CSTOPB and a[CFLAG] & termios.CRTSCTS)


@pytest.mark.skipif(not os.access(SER2NET, os.X_OK), reason="ser2net is not installed")
def test_wirebox_client_pushes_settings_to_ser2net(daemon, pty_pair, tmp_path):
    remote, port, config = Pty(), free_port(), tmp_path / "ser2net.yaml"
    config.write_text(f"%YAML 1.1\n---\nconnection: &rfc2217\n"
                      f"    accepter: telnet(rfc2217),tcp,127.0.0.1,{port}\n    enable: on\n"
                      f"    connector: serialdev,{remote.path},9600n81,local\n    options:\n"
                      f"      chardelay: false\n")
    ser2net = subprocess.Popen([SER2NET, "-n", "-d", "-u", "-c", str(config)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        d = daemon(["-vv", "-t", "1", "-l", "serial", pty_pair.path, "-r", "rfc2217", "127.0.0.1",
                    str(port), "-C", "-B", "19200", "-P", "odd", "-S", "-F", "hardware",
                    "-A", "required"])
        for setting in ("Baudrate", "Parity", "Stopsize", "Flowcontrol"):
            d.wait_for(rf"{setting} ack complete: \w+ matches\n")
        wait_until(lambda: settings_reached(remote), "ser2net's tty never got the settings")
        pump(pty_pair.write, remote.read_exactly)
        pump(remote.write, pty_pair.read_exactly)
    finally:
        ser2net.terminate()
        ser2net.wait(5)
        remote.close()
