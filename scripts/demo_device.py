#!/usr/bin/python3
"""A simulated serial device on a pseudo-terminal: answers every line with its upper-case echo.

Usage: demo_device.py LINK
Creates a raw pty pair, points the symlink LINK at its tty end (which wirebox opens) and plays
the device on the other end until it is terminated.
"""
import os
import pty
import select
import signal
import sys
import tty


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    link = sys.argv[1]
    master, slave = pty.openpty()
    # Both ends raw, or the line discipline echoes and rewrites bytes such as CR.
    tty.setraw(master)
    tty.setraw(slave)
    # The device keeps its own slave descriptor open: without it the master reads EIO whenever
    # wirebox has closed the tty (no client connected).
    tmp = link + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(os.ttyname(slave), tmp)
    os.replace(tmp, link)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(f"device: answering on {os.ttyname(slave)} (linked as {link})", flush=True)

    line = bytearray()
    try:
        while True:
            select.select([master], [], [])
            data = os.read(master, 4096)
            for b in data:
                line.append(b)
                if b == 0x0A:
                    answer = bytes(line).upper()
                    view = memoryview(answer)
                    while view:
                        view = view[os.write(master, view):]
                    line.clear()
    finally:
        if os.path.islink(link):
            os.unlink(link)


if __name__ == "__main__":
    main()
