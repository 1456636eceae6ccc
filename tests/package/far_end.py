#!/usr/bin/python3
"""The platform's side of a COM port, scripted: waits for one move frame,
checks it byte for byte against the expected hex, then answers with one
upload frame whose word1 is the move's target.

    far_end.py PTY EXPECTED_HEX TARGET
Exit status 0 when the frame arrived as expected and the upload went out."""
import os
import select
import struct
import sys
import termios
import time
import tty


def crc16_modbus(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def upload_frame(word1):
    payload = struct.pack("<BhhhBBBBBB", 0x02, word1, 0, 0, 1, 2, 3, 4, 0, 0)
    frame = bytes([0x7B, 0x01, len(payload), 0xF5]) + payload
    return frame + struct.pack("<H", crc16_modbus(frame))


def main():
    path, expected_hex, target = sys.argv[1], sys.argv[2], int(sys.argv[3])
    expected = bytes.fromhex(expected_hex)
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    print("far end: ready on", path, flush=True)
    got = b""
    deadline = time.monotonic() + 30
    while len(got) < len(expected) and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            got += os.read(fd, len(expected) - len(got))
    print("far end: received", got.hex(" "), flush=True)
    if got != expected:
        print("far end: expected", expected.hex(" "), flush=True)
        return 1
    os.write(fd, upload_frame(target))
    print("far end: sent upload", upload_frame(target).hex(" "), flush=True)
    # Stay until the host has read it and closed the port.
    time.sleep(1)
    os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
