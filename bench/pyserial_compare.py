#!/usr/bin/python3
"""What a move costs from Python written without the library, against the library.

The "user" side is what a host programmer would write instead of calling the
library: pySerial (Debian's python3-serial) opened at 115200 8N1 with the
library's own write timeout (10 ms per byte + 500 ms), a CRC-16/MODBUS in
Python computed bit by bit, and the same 12-byte frame written to the same
kind of port, a pseudo-terminal. The library is measured through ctypes from
the same interpreter and, when --bench is given, natively (kinetra-bench's
BM_move_library).

All figures are CPU time of the calling thread per move (time.thread_time,
user + system, so the write() itself is included), the median over
repetitions. The pty's far end is drained by a child process so that it
neither shares the interpreter's lock nor counts in the measured thread.

Usage: pyserial_compare.py --lib build/release/libKinetra.so
                           [--bench build/release/bench/kinetra-bench]
                           [--moves 20000] [--repetitions 9] [--json out.json]
"""

import argparse
import ctypes
import json
import os
import select
import signal
import statistics
import struct
import subprocess
import sys
import time

import serial  # python3-serial

EXPECTED_FRAME = bytes.fromhex("010106A1E803C8003200649A")


# ---- what the user writes -------------------------------------------------

def crc16_modbus(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            if crc & 1:
                crc = (crc >> 1) ^ 0xA001
            else:
                crc >>= 1
    return crc


def x_move(port, head, target, aux1, aux2):
    body = bytes([head, 0x01, 0x06, 0xA1]) + struct.pack("<hHH", target, aux1, aux2)
    return port.write(body + struct.pack("<H", crc16_modbus(body)))


# ---- the pty and its far end ------------------------------------------------

class Pty:
    """An openpty pair whose master is drained by a child process."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.first = b""
        self.child = os.fork()
        if self.child == 0:  # the drainer: read until the slave side is gone
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            os.close(self.slave)
            try:
                while True:
                    if not os.read(self.master, 65536):
                        break
            except OSError:
                pass
            os._exit(0)

    def close(self):
        os.kill(self.child, signal.SIGTERM)
        os.waitpid(self.child, 0)
        os.close(self.master)
        os.close(self.slave)


def capture_first_frame(write_once):
    """The bytes one move puts on a fresh pty, read back on the master."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    try:
        write_once(path)
        got = b""
        while len(got) < 12 and select.select([master], [], [], 2.0)[0]:
            got += os.read(master, 64)
        return got
    finally:
        os.close(master)
        os.close(slave)


# ---- the library through ctypes --------------------------------------------

def load_library(path):
    lib = ctypes.CDLL(path)
    lib.axis_init.restype = ctypes.c_void_p
    lib.axis_init.argtypes = [ctypes.c_char_p, ctypes.c_uint8, ctypes.c_void_p]
    lib.axis_close.restype = None
    lib.axis_close.argtypes = [ctypes.c_void_p]
    lib.axis_x_move.restype = ctypes.c_int32
    lib.axis_x_move.argtypes = [ctypes.c_void_p, ctypes.c_int16, ctypes.c_uint16, ctypes.c_uint16]
    return lib


def open_pyserial(path):
    # Write timeout as the library's: 10 ms per byte of a 12-byte frame + 500 ms.
    return serial.Serial(path, 115200, bytesize=8, parity="N", stopbits=1,
                         timeout=0.5, write_timeout=0.62)


def per_move_cpu(moves, step):
    start = time.thread_time()
    for _ in range(moves):
        step()
    return (time.thread_time() - start) / moves


def measure(lib, moves, repetitions):
    pty = Pty()
    port = open_pyserial(pty.path)
    handle = lib.axis_init(pty.path.encode(), 0x01, None)
    if not handle:
        raise SystemExit("axis_init failed on " + pty.path)
    try:
        def user_move():
            if x_move(port, 0x01, 1000, 200, 50) != 12:
                raise SystemExit("pySerial wrote a short frame")

        def ctypes_move():
            if lib.axis_x_move(handle, 1000, 200, 50) != 12:
                raise SystemExit("axis_x_move did not write 12 bytes")

        user, via_ctypes = [], []
        # Interleaved, so that a change of load on the machine hits both alike.
        for _ in range(repetitions):
            user.append(per_move_cpu(moves, user_move))
            via_ctypes.append(per_move_cpu(moves, ctypes_move))
        return user, via_ctypes
    finally:
        lib.axis_close(handle)
        port.close()
        pty.close()


def native_move_cpu(bench, repetitions):
    out = subprocess.run(
        [bench, "--benchmark_filter=^BM_move_library$",
         "--benchmark_repetitions=%d" % repetitions,
         "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
            return b["cpu_time"] * scale
    raise SystemExit("no median of BM_move_library in kinetra-bench's output")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lib", required=True, help="path to libKinetra.so")
    ap.add_argument("--bench", help="kinetra-bench, for the native figure")
    ap.add_argument("--native-cpu-ns", type=float,
                    help="native CPU per move already measured (instead of --bench)")
    ap.add_argument("--moves", type=int, default=20000)
    ap.add_argument("--repetitions", type=int, default=9)
    ap.add_argument("--json", help="also write the results here")
    args = ap.parse_args()

    lib = load_library(os.path.abspath(args.lib))

    # Both must put the very same bytes on the wire, or they are not comparable.
    def user_once(path):
        with open_pyserial(path) as p:
            x_move(p, 0x01, 1000, 200, 50)

    def library_once(path):
        h = lib.axis_init(path.encode(), 0x01, None)
        lib.axis_x_move(h, 1000, 200, 50)
        lib.axis_close(h)

    for name, once in (("pySerial script", user_once), ("library", library_once)):
        got = capture_first_frame(once)
        if got != EXPECTED_FRAME:
            raise SystemExit("%s sent %s, expected %s" % (name, got.hex(), EXPECTED_FRAME.hex()))

    user, via_ctypes = measure(lib, args.moves, args.repetitions)
    result = {
        "moves_per_repetition": args.moves,
        "repetitions": args.repetitions,
        "python": sys.version.split()[0],
        "pyserial": serial.__version__,
        "pyserial_cpu_ns": statistics.median(user) * 1e9,
        "ctypes_cpu_ns": statistics.median(via_ctypes) * 1e9,
        "pyserial_cpu_ns_all": [t * 1e9 for t in user],
        "ctypes_cpu_ns_all": [t * 1e9 for t in via_ctypes],
    }
    if args.native_cpu_ns:
        result["native_cpu_ns"] = args.native_cpu_ns
    elif args.bench:
        result["native_cpu_ns"] = native_move_cpu(args.bench, args.repetitions) * 1e9
    result["ratio_pyserial_to_ctypes"] = result["pyserial_cpu_ns"] / result["ctypes_cpu_ns"]
    if "native_cpu_ns" in result:
        result["ratio_pyserial_to_native"] = result["pyserial_cpu_ns"] / result["native_cpu_ns"]

    print("CPU per move, median of %d x %d moves:" % (args.repetitions, args.moves))
    print("  pySerial script (Python CRC):  %9.0f ns" % result["pyserial_cpu_ns"])
    print("  library through ctypes:        %9.0f ns   pySerial/ctypes = %.1fx"
          % (result["ctypes_cpu_ns"], result["ratio_pyserial_to_ctypes"]))
    if "native_cpu_ns" in result:
        print("  library, native (C++):         %9.0f ns   pySerial/native = %.1fx"
              % (result["native_cpu_ns"], result["ratio_pyserial_to_native"]))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=2)
            f.write("\n")


if __name__ == "__main__":
    main()
