"""Sends random bytes into one pty and reads them at another, both ways at
once, and says whether every byte arrived unchanged and in order.
    byte_exact.py PTY_A PTY_B COUNT
"""
import os
import random
import select
import sys
import termios
import time
import tty


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    return fd


def main():
    a_path, b_path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    a, b = open_raw(a_path), open_raw(b_path)
    rng = random.Random(7)
    sent = {a: bytes(rng.randrange(256) for _ in range(count)),
            b: bytes(rng.randrange(256) for _ in range(count))}
    other = {a: b, b: a}
    written = {a: 0, b: 0}
    got = {a: bytearray(), b: bytearray()}  # what arrived at each end
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and any(len(got[fd]) < count for fd in (a, b)):
        for fd in (a, b):
            if written[fd] < count:
                written[fd] += os.write(fd, sent[fd][written[fd]:written[fd] + 64])
        readable, _, _ = select.select([a, b], [], [], 0.01)
        for fd in readable:
            got[fd] += os.read(fd, 4096)
    ok = True
    for fd, name in ((a, a_path), (b, b_path)):
        want = sent[other[fd]]
        if bytes(got[fd]) != want:
            same = next((i for i, (x, y) in enumerate(zip(got[fd], want)) if x != y),
                        min(len(got[fd]), len(want)))
            print("FAIL: %s received %d of %d bytes, the first %d as sent"
                  % (name, len(got[fd]), count, same))
            ok = False
    if ok:
        print("byte-exact: %d bytes each way arrived unchanged and in order" % count)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
