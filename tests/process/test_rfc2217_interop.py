"""The rfc2217 side against real peers: pyserial's rfc2217:// client against wirebox's server,
and wirebox's client mode against ser2net's RFC 2217 accepter. Each side's tty is a pty played
by the test; the exact bytes of each request and answer are pinned by test_rfc2217.py."""
import os
import shutil
import subprocess
import termios
import threading

import pytest
import serial

from conftest import Pty, free_port, serve, wait_until

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


def test_pyserial_client_sets_the_line_and_moves_every_byte(daemon, pty_pair):
    _, port = serve(daemon, pty_pair.path, "rfc2217")
    port = serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", baudrate=19200, timeout=30)
    try:
        port.parity, port.stopbits, port.rtscts = serial.PARITY_ODD, serial.STOPBITS_TWO, True
        assert settings_reached(pty_pair)
        pump(port.write, pty_pair.read_exactly)
        pump(pty_pair.write, port.read)
        # Mark parity leaves the line without parity and is answered so: pyserial refuses it.
        with pytest.raises(ValueError, match="remote rejected value for option 'parity'"):
            port.parity = serial.PARITY_MARK
    finally:
        port.close()


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
