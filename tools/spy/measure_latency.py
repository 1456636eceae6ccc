#!/usr/bin/python3
"""How long a move frame takes from the host's write() to the platform's
read(): over a direct pty, through kinetra-spy, and through socat as a relay,
in one run. Prints the median and 99th percentile of each, in microseconds.

Usage: tools/spy/measure_latency.py build/release/tools/spy/kinetra-spy [SAMPLES]
"""
import os
import pty
import select
import statistics
import subprocess
import sys
import termios
import time
import tty

FRAME = bytes.fromhex("01 01 06 A1 E8 03 C8 00 32 00 64 9A")


def raw(fd):
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[6][termios.VMIN] = 0
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def read_exactly(fd, n, timeout=2.0):
    got = b""
    while len(got) < n:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            raise TimeoutError(f"{len(got)} of {n} bytes")
        got += os.read(fd, n - len(got))
    return got


def one_sample(host_fd, device_fd):
    start = time.perf_counter_ns()
    os.write(host_fd, FRAME)
    if read_exactly(device_fd, len(FRAME)) != FRAME:
        raise RuntimeError("the frame arrived changed")
    return (time.perf_counter_ns() - start) / 1000


def device_pair():
    master, slave = pty.openpty()
    raw(slave)
    return master, slave, os.ttyname(slave)


def open_host(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    raw(fd)
    return fd


def start_relay(command, host_path=None):
    """Starts a relay and opens its host side; returns (process, host fd)."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if host_path is None:
        host_path = proc.stdout.readline().decode().strip()
    else:
        for _ in range(200):
            if os.path.exists(host_path):
                break
            time.sleep(0.01)
    return proc, open_host(host_path)


def report(name, times):
    times = sorted(times)
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    print(f"{name:8} median {statistics.median(times):8.1f} us   p99 {p99:8.1f} us")
    return statistics.median(times), p99


def main():
    spy = sys.argv[1]
    samples = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    link = f"/tmp/kinetra-latency-{os.getpid()}"

    direct_master, direct_slave, _ = device_pair()
    spy_master, spy_slave, spy_device = device_pair()
    socat_master, socat_slave, socat_device = device_pair()
    os.close(spy_slave)
    os.close(socat_slave)
    spy_proc, spy_host = start_relay([spy, "--device", spy_device, "--log", os.devnull])
    socat_proc, socat_host = start_relay(
        ["socat", f"pty,raw,echo=0,link={link}", f"{socat_device},raw,echo=0"], link)
    time.sleep(0.3)  # let the relays notice their hosts
    # The three paths take turns, sample by sample, so that a machine shared
    # with others loads them alike.
    paths = {"direct": (direct_slave, direct_master), "spy": (spy_host, spy_master),
             "socat": (socat_host, socat_master)}
    times = {name: [] for name in paths}
    try:
        for i in range(samples + 50):
            for name, (host, device) in paths.items():
                t = one_sample(host, device)
                if i >= 50:  # the first ones warm up
                    times[name].append(t)
                time.sleep(0.0003)
    finally:
        spy_proc.terminate()
        socat_proc.terminate()
        spy_proc.wait()
        socat_proc.wait()
    results = {name: report(name, t) for name, t in times.items()}
    print(f"spy adds {results['spy'][0] - results['direct'][0]:.1f} us at the median; socat adds "
          f"{results['socat'][0] - results['direct'][0]:.1f} us")


if __name__ == "__main__":
    main()
