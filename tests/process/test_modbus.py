"""The Modbus gateway end to end: wirebox between a pty whose master end plays a libmodbus RTU
device (modbus_slave, unit 17: holding register i holds 1000 + i, input register i 2000 + i) and
Modbus TCP clients on loopback: raw frames, mbpoll and pymodbus."""
import struct
import subprocess
import termios

import pytest

from conftest import keepalive, recv_exactly, stats


def request(tid, unit, function, address, count=1):
    return struct.pack(">HHHBBHH", tid, 0, 6, unit, function, address, count)


def answer(tid, *registers):
    n = len(registers)
    return struct.pack(f">HHHBBB{n}H", tid, 0, 3 + 2 * n, 17, 3, 2 * n, *registers)


def line(pty):  # the speed and the stop bits the gateway set
    attrs = termios.tcgetattr(pty.slave)
    return attrs[5], bool(attrs[2] & termios.CSTOPB)


def test_mbpoll_and_pymodbus_read_and_write(gateway, pty_pair):
    from pymodbus.client import ModbusTcpClient
    d, _, _ = gateway()
    keepalive(d.port)
    # mbpoll numbers registers from 1: reference 11 is address 10.
    mbpoll = ["mbpoll", "-m", "tcp", "-p", str(d.port), "-a", "17", "-1", "127.0.0.1"]
    subprocess.run(mbpoll + ["-r", "11", "4242"], check=True, timeout=10, capture_output=True)
    out = subprocess.run(mbpoll + ["-r", "10", "-c", "2"], check=True, timeout=10,
                         capture_output=True).stdout.decode()
    assert "[10]: \t1009" in out and "[11]: \t4242" in out, out
    with ModbusTcpClient("127.0.0.1", port=d.port, timeout=5) as c:
        for written in (c.write_registers(3, [7, 8], slave=17), c.write_register(5, 9, slave=17),
                        c.write_coil(6, True, slave=17)):
            assert not written.isError(), written
        assert c.read_holding_registers(2, 4, slave=17).registers == [1002, 7, 8, 9]
        assert c.read_holding_registers(10, 2, slave=17).registers == [4242, 1011]
        assert c.read_input_registers(60, 4, slave=17).registers == [2060, 2061, 2062, 2063]
        assert c.read_coils(0, 8, slave=17).bits == [False] * 6 + [True, False]
        assert line(pty_pair) == (termios.B9600, False)


# Unit 18 is silent; unit 19 is answered from address 17; data address 5 raises exception 2, 500
# is answered after the next request has come (too late), 501 with a bad CRC.
def test_each_client_gets_only_its_own_answers_in_order_and_failures_as_exceptions(gateway,
                                                                                  pty_pair):
    d, gone, a, b = gateway("-x 5:2 -a 19", rtu="-V -S -B 19200", tcp="-V", clients=3)
    # A client that leaves before its answer harms nobody; meanwhile the others queue up.
    gone.sendall(request(1, 18, 3, 0))
    gone.close()
    a.sendall(request(1, 17, 3, 0))
    b.sendall(request(0x8001, 17, 3, 1))
    a.sendall(request(3, 17, 3, 2) + request(4, 17, 3, 3, 2))
    assert recv_exactly(a, 35) == answer(1, 1000) + answer(3, 1002) + answer(4, 1003, 1004)
    assert recv_exactly(b, 11) == answer(0x8001, 1001)
    assert line(pty_pair) == (termios.B19200, True)
    # The next bytes each client receives answer its next request: nothing stray came first.
    for tid, s in ((6, a), (7, b)):
        s.sendall(request(tid, 17, 3, tid))
        assert recv_exactly(s, 11) == answer(tid, 1000 + tid)
    for unit, function, address, code in [(18, 3, 0, 4), (19, 4, 0, 4), (17, 4, 500, 4),
                                          (17, 3, 5, 2), (17, 3, 501, 4), (17, 6, 5, 2)]:
        b.sendall(request(0x1234, unit, function, address))
        assert recv_exactly(b, 9) == struct.pack(">HHHBBB", 0x1234, 0, 3, unit, function | 0x80,
                                                 code)
    assert d.count(r"from unit 17 for function 132\n") == d.count(r"read: Invalid CRC\n") == 1
    counts = dict(requests="13", answers="6", exceptions="2", timeouts="5", failures="0")
    assert stats(d, "modbus") == [dict(broadcasts="0", **counts, exception_2="2")]
    assert stats(d, "unit", 3) == [
        dict(id="17", requests="10", answers="6", exceptions="2", timeouts="2", failures="0"),
        dict(id="18", requests="2", answers="0", exceptions="0", timeouts="2", failures="0"),
        dict(id="19", requests="1", answers="0", exceptions="0", timeouts="1", failures="0")]
    a.close()
    b.close()
    d.wait_for(r"close tty at\n")
    d.proc.kill()  # -V on either side dumps frames on standard output as they pass
    out, req = d.wait_exit()[1].decode(), "".join(f"<{b:02X}>" for b in request(1, 17, 3, 0))
    assert "[11][03][00][00][00][01][86][9A]\n" in out, out  # libmodbus's own, of the RTU frame
    assert "<79><39>\n<11><03><02><03><E8>\n" in out, out  # the serial side's, of the answer
    # Each client's pass over the answers dumps every record it meets: the owner's shows the
    # request it recovered, the other's the request record it skips.
    assert out.count(f"<11><03><02><03><E8>\n{req}\n") == 2, out


def test_slow_clients_unknown_functions_and_broadcasts_hold_up_nobody(gateway):
    d, fast, slow = gateway()
    # A client that trickles its request holds up only itself.
    trickled = request(9, 17, 3, 9)
    for i in range(len(trickled)):
        slow.sendall(trickled[i:i + 1])
        fast.sendall(request(i, 17, 3, i))
        assert recv_exactly(fast, 11) == answer(i, 1000 + i)
    assert recv_exactly(slow, 11) == answer(9, 1009)
    # Functions libmodbus does not know pass whole both ways (the device echoes them).
    for frame in (struct.pack(">HHHBBHH", 2, 0, 6, 17, 8, 0, 0x1234),
                  struct.pack(">HHHBB5s", 3, 0, 7, 17, 0x41, b"user!")):
        fast.sendall(frame)
        assert recv_exactly(fast, len(frame)) == frame
    fast.sendall(struct.pack(">HHHBBHHB246s", 8, 0, 253, 17, 16, 0, 123, 246, bytes(246)))
    assert recv_exactly(fast, 9) == struct.pack(">HHHBBB", 8, 0, 3, 17, 0x90, 2)  # the longest write
    fast.sendall(request(4, 0, 6, 7, 4321) + request(5, 17, 3, 7))  # a broadcast gets no answer
    assert recv_exactly(fast, 11) == answer(5, 4321)
    slow.sendall(struct.pack(">HHH", 6, 0, 255))  # no way to find the next request: dropped
    assert slow.recv(1) == b"" and d.wait_for(r"WARNING\] modbustcp\[\d+\]: request length 255 ")


@pytest.mark.parametrize("rtu, pause, retries", [("-R 2 -T 10", 10, 2), ("-R 1 -T 2.9", 2, 1),
                                                 ("-R 0", 0, 0)])
def test_open_retries_run_out_then_exit_1(gateway, rtu, pause, retries):
    d, _ = gateway(rtu=rtu, tty="/nonexistent", clients=1)  # a second might find it gone
    rc, _, err = d.wait_exit(10)
    lines = [line.split("]: ", 1)[1] for line in err.decode().splitlines() if "modbusrtu[" in line]
    enoent = "errno: No such file or directory, "
    assert (rc, lines) == (1, ["open tty at /nonexistent"] + sum(
        [[enoent + "failed to connect to the tty",
          f"open tty /nonexistent failed, waiting {pause} ms ({n} retries left)"]
         for n in reversed(range(retries))], []) + [
        (enoent if retries else "") + "failed to open TTY, no retries left, exiting"])
