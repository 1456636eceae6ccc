#!/usr/bin/python3
"""Runs every benchmark once and writes docs/performance.md from that one run.

    bench/make_report.py [--build build/release] [--out docs/performance.md]
                         [--repetitions 15] [--min-time 0.5] [--quick]

What it runs, all on pseudo-terminal pairs:
  1. kinetra-bench, every benchmark, --benchmark_repetitions with random
     interleaving (so that a change of load hits the library and its floor
     alike); the report uses the medians of the measured thread's CPU time;
  2. bench/pyserial_compare.py: the same move from a pySerial script, and the
     library through ctypes;
  3. strace -c over an exact number of calls (kinetra-bench --calls): the
     system calls per move and per read, against the raw ones;
  4. callgrind over the same calls: user-space instructions per call, a
     figure that the machine's load cannot move;
  5. kinetra-spy-latency: the latency a move frame gains through kinetra-spy,
     against a direct pty and socat as a relay.
Steps 3 and 4 are skipped when strace or valgrind is missing, step 5 when
kinetra-spy, kinetra-spy-latency or socat is. --quick runs everything very
briefly, to prove that it still runs; its figures mean nothing and it writes
nowhere unless --out is given. --spy-only runs step 5 alone and replaces only
its section of the file (between the markers below), leaving the rest as it
was.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from doc_section import replace_section

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# The wire: 115200 baud, 8N1 = 10 bits a byte, a single-axis move is 12 bytes.
BAUD = 115200
BITS_PER_BYTE = 10
MOVE_BYTES = 12
WIRE_MOVE_S = MOVE_BYTES * BITS_PER_BYTE / BAUD  # 1.0417 ms
WIRE_MOVES_PER_S = BAUD / (BITS_PER_BYTE * MOVE_BYTES)  # 960

GOALS = {
    "move": 1.05,  # BM_move_library within 5 % of one write()
    "read": 1.10,  # BM_read_library within 10 % of one read()
    "pyserial": 20.0,  # library at least 20x cheaper per move than pySerial
    "spy_added_us": 100.0,  # kinetra-spy adds less than 100 µs at the median
    "spy_over_socat": 1.0,  # and is never slower than socat as a relay
}
SPY_BEGIN = "<!-- written by bench/make_report.py (the spy's latency): begin -->"
SPY_END = "<!-- written by bench/make_report.py (the spy's latency): end -->"


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


def first_line(cmd):
    try:
        return run(cmd).stdout.splitlines()[0].strip()
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "unknown"


def read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return ""


def cmake_cache(build, key):
    m = re.search(r"^%s:[A-Z]+=(.*)$" % re.escape(key), read_text(os.path.join(build, "CMakeCache.txt")),
                  re.M)
    return m.group(1) if m else ""


def load_average():
    return " ".join(read_text("/proc/loadavg").split()[:3]) or "unknown"


def machine(build):
    cpu = re.search(r"^model name\s*:\s*(.*)$", read_text("/proc/cpuinfo"), re.M)
    mhz = re.search(r"^cpu MHz\s*:\s*(.*)$", read_text("/proc/cpuinfo"), re.M)
    mem = re.search(r"^MemTotal:\s*(\d+) kB", read_text("/proc/meminfo"), re.M)
    osr = re.search(r'^PRETTY_NAME="(.*)"', read_text("/etc/os-release"), re.M)
    cxx = cmake_cache(build, "CMAKE_CXX_COMPILER")
    return {
        "cpu": cpu.group(1) if cpu else platform.processor() or "unknown",
        "mhz": float(mhz.group(1)) if mhz else 0.0,
        "cores": os.cpu_count(),
        "memory_gib": int(mem.group(1)) / 1024 / 1024 if mem else 0.0,
        "os": osr.group(1) if osr else platform.platform(),
        "kernel": platform.release(),
        "compiler": first_line([cxx, "--version"]) if cxx else "unknown",
        "build_type": cmake_cache(build, "CMAKE_BUILD_TYPE") or "unknown",
        "benchmark": first_line(["dpkg-query", "-W", "-f=${Version}", "libbenchmark-dev"]),
        "pyserial": first_line(["dpkg-query", "-W", "-f=${Version}", "python3-serial"]),
        "socat": first_line(["dpkg-query", "-W", "-f=${Version}", "socat"]),
    }


# ---- 1. kinetra-bench ---------------------------------------------------

def run_bench(bench, repetitions, min_time):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        run([bench, "--benchmark_repetitions=%d" % repetitions,
             "--benchmark_enable_random_interleaving=true",
             "--benchmark_min_time=%g" % min_time,
             "--benchmark_out=" + out.name, "--benchmark_out_format=json"])
        with open(out.name, encoding="utf-8") as f:
            data = json.load(f)
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    runs = {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            raise SystemExit("%s failed: %s" % (b["name"], b.get("error_message")))
        if b.get("run_type") != "iteration":
            continue
        r = runs.setdefault(b["run_name"], {"cpu": [], "real": [], "counters": {}})
        r["cpu"].append(b["cpu_time"] * scale[b["time_unit"]])
        r["real"].append(b["real_time"] * scale[b["time_unit"]])
        for k in ("allocs_per_move", "allocs_per_read", "waits_for_room", "bytes_per_second",
                  "library_ns", "raw_ns", "ratio"):
            if k in b:
                r["counters"].setdefault(k, []).append(b[k])
    results = {}
    for name, r in runs.items():
        results[name] = {
            "cpu_ns": statistics.median(r["cpu"]),
            "real_ns": statistics.median(r["real"]),
            "cpu_min_ns": min(r["cpu"]),
            "cpu_max_ns": max(r["cpu"]),
            "repetitions": len(r["cpu"]),
            "counters": {k: statistics.median(v) for k, v in r["counters"].items()},
            "max_counters": {k: max(v) for k, v in r["counters"].items()},
            "min_counters": {k: min(v) for k, v in r["counters"].items()},
        }
    return results, data.get("context", {})


# ---- 3. strace ----------------------------------------------------------

def syscall_counts(bench, mode, calls):
    """System calls of the main thread (strace follows no other) by name."""
    with tempfile.NamedTemporaryFile(suffix=".txt") as out:
        run(["strace", "-c", "-U", "name,calls", "-o", out.name, bench,
             "--calls=%s:%d" % (mode, calls)])
        counts = {}
        for line in read_text(out.name).splitlines():
            parts = line.split()
            if len(parts) == 2 and parts[1].isdigit() and parts[0] != "total":
                counts[parts[0]] = int(parts[1])
        return counts


def syscalls_per_call(bench, mode, calls):
    """(counts with N calls - counts with 0 calls) / N: what the calls made."""
    full = syscall_counts(bench, mode, calls)
    base = syscall_counts(bench, mode, 0)
    per = {}
    for name in set(full) | set(base):
        d = full.get(name, 0) - base.get(name, 0)
        if d:
            per[name] = d / calls
    return per


# ---- 4. callgrind -------------------------------------------------------

TOGGLE = {"move": "axis_x_move", "raw-write": "kinetra_bench_raw_write",
          "read": "axis_read_upload", "raw-read": "kinetra_bench_raw_read"}


def instructions_per_call(bench, mode, calls, tmp):
    out_file = os.path.join(tmp, "callgrind.%s.out" % mode)
    proc = run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file,
                "--toggle-collect=" + TOGGLE[mode], bench, "--calls=%s:%d" % (mode, calls)])
    m = re.search(r"Collected\s*:\s*(\d+)", proc.stderr)
    if not m:
        raise SystemExit("callgrind printed no total for " + mode)
    functions = []
    annotate = run(["callgrind_annotate", "--inclusive=no", "--auto=no", out_file]).stdout
    in_table = False
    for line in annotate.splitlines():
        if "file:function" in line:
            in_table = True
            continue
        f = re.match(r"\s*([\d,]+)\s+\([\s\d.]+%\)\s+(\S.*)$", line)
        if not in_table or not f:
            continue
        name = re.sub(r"\s*\[[^\]]*\]$", "", f.group(2))  # the object file
        name = name.split(":", 1)[-1] if not name.startswith("kinetra") else name
        name = name.replace("(anonymous namespace)::", "")
        name = re.sub(r"\(.*\)", "()", name)
        functions.append((name, int(f.group(1).replace(",", "")) / calls))
    merged = {}
    for name, ir in functions:
        merged[name] = merged.get(name, 0) + ir
    top = sorted(merged.items(), key=lambda kv: -kv[1])[:8]
    return int(m.group(1)) / calls, top


# ---- 5. the spy's latency -------------------------------------------------

def spy_latency(build, samples):
    """kinetra-spy-latency's figures, or None (and why) when it cannot run."""
    tool = os.path.join(build, "bench", "kinetra-spy-latency")
    spy = os.path.join(build, "tools", "spy", "kinetra-spy")
    for p in (tool, spy):
        if not os.path.exists(p):
            return None, "%s is missing (cmake --build --preset release --target %s)" % (
                p, os.path.basename(p))
    if not shutil.which("socat"):
        return None, "socat is missing (scripts/packages/bench.txt)"
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        proc = run([tool, "--spy", spy, "--samples", str(samples), "--json", out.name])
        with open(out.name, encoding="utf-8") as f:
            figures = json.load(f)
    print(proc.stdout.rstrip(), flush=True)
    return figures, ""


def spy_goals(lat):
    d, s, c = lat["direct"], lat["spy"], lat["socat"]
    added = s["median_us"] - d["median_us"]
    no_slower = (s["median_us"] <= c["median_us"] * GOALS["spy_over_socat"]
                 and s["p99_us"] <= c["p99_us"] * GOALS["spy_over_socat"])
    return added, no_slower


def spy_section(lat, info, date, load_before, load_after):
    """The spy's latency section, markers included, as a list of lines."""
    L = [SPY_BEGIN, "## Through the line spy", ""]
    w = L.append
    d, s, c = lat["direct"], lat["spy"], lat["socat"]
    added, no_slower = spy_goals(lat)
    w("`kinetra-spy-latency` (bench/spy_latency.cpp), run on %s (UTC)" % date)
    w("on %s, %d cores as the OS sees them; socat %s; load average %s before"
      % (info["cpu"], info["cores"], info.get("socat", "unknown"), load_before))
    w("and %s after." % load_after)
    w("The latency a frame gains on its way from the host to the platform: the host writes the")
    w("12-byte move `01 01 06 A1 E8 03 C8 00 32 00 64 9A` in one `write()`, and")
    w("the time runs until the platform's side has read all 12 bytes (`poll()`, then `read()` what")
    w("is there; `CLOCK_MONOTONIC`). Three paths, in one run, taking turns sample by sample in an")
    w("order that rotates, %d µs apart: **direct**, a pty whose slave the host writes and whose"
      % lat["gap_us"])
    w("master the platform reads; **spy**, the host on the pty kinetra-spy opens, kinetra-spy on")
    w("`--device` the slave of the platform's pty (its readable log to /dev/null); **socat**, the")
    w("host on a pty socat opens, socat relaying it raw to the slave of the platform's pty. Every")
    w("frame must arrive whole and unchanged, and nothing else after it. %d samples of each after"
      % lat["samples"])
    w("50 to warm up.")
    w("")
    w("| Path | Median | 99th percentile | Added to direct (median) |")
    w("|---|---|---|---|")
    w("| direct pty | %.1f µs | %.1f µs | |" % (d["median_us"], d["p99_us"]))
    w("| through kinetra-spy | %.1f µs | %.1f µs | %+.1f µs |"
      % (s["median_us"], s["p99_us"], s["median_us"] - d["median_us"]))
    w("| through socat | %.1f µs | %.1f µs | %+.1f µs |"
      % (c["median_us"], c["p99_us"], c["median_us"] - d["median_us"]))
    w("")
    w("| Ratio | Median | 99th percentile |")
    w("|---|---|---|")
    w("| spy ÷ direct | %.2f | %.2f |" % (s["median_us"] / d["median_us"], s["p99_us"] / d["p99_us"]))
    w("| spy ÷ socat | %.2f | %.2f |" % (s["median_us"] / c["median_us"], s["p99_us"] / c["p99_us"]))
    w("")
    w("| Goal | Measured | |")
    w("|---|---|---|")
    w("| kinetra-spy adds under %g µs at the median | %+.1f µs | %s |"
      % (GOALS["spy_added_us"], added, verdict(added < GOALS["spy_added_us"])))
    w("| kinetra-spy no slower than socat, at the median and at p99 | %.2f and %.2f | %s |"
      % (s["median_us"] / c["median_us"], s["p99_us"] / c["p99_us"], verdict(no_slower)))
    w("")
    w(SPY_END)
    return L


def replace_spy_section(path, lines):
    """Puts the spy's section into the file: in place of the one there, or at its end."""
    replace_section(path, SPY_BEGIN, SPY_END, "\n".join(lines) + "\n")


# ---- the report ---------------------------------------------------------

def ns(v):
    if v >= 10000:
        return "%.1f µs" % (v / 1000)
    if v >= 100:
        return "%.0f ns" % v
    return "%.1f ns" % v


def verdict(ok):
    return "met" if ok else "**missed**"


def write_report(path, info, load_before, load_after, date, results, context, py, sysc, instr,
                 spy, args):
    r = results
    move_lib, move_raw = r["BM_move_library"], r["BM_move_raw_write"]
    read_lib, read_raw = r["BM_read_library"], r["BM_read_raw_read"]
    move_pair, read_pair = r["BM_move_paired"], r["BM_read_paired"]
    move_ratio = move_pair["counters"]["ratio"]
    read_ratio = read_pair["counters"]["ratio"]
    allocs_move = move_lib["max_counters"].get("allocs_per_move", float("nan"))
    allocs_read = read_lib["max_counters"].get("allocs_per_read", float("nan"))
    wire_fraction = move_lib["cpu_ns"] * 1e-9 / WIRE_MOVE_S
    cpu_moves_per_s = 1e9 / move_lib["cpu_ns"]
    L = []
    w = L.append
    w("# Performance")
    w("")
    w("What each call of the library costs next to the system call it cannot avoid, measured")
    w("in one run by `bench/make_report.py` (which wrote this file) on pseudo-terminal pairs.")
    w("Regenerate with `bench/make_report.py` after `cmake --build --preset release`.")
    w("")
    w("## Machine and run")
    w("")
    w("| | |")
    w("|---|---|")
    w("| Date (UTC) | %s |" % date)
    w("| CPU | %s, %d cores as the OS sees them, %.0f MHz |" % (info["cpu"], info["cores"], info["mhz"]))
    w("| Memory | %.1f GiB |" % info["memory_gib"])
    w("| OS, kernel | %s, Linux %s |" % (info["os"], info["kernel"]))
    w("| Compiler, build | %s, CMake build type %s |" % (info["compiler"], info["build_type"]))
    w("| Google Benchmark | %s (Debian's libbenchmark-dev) |" % info["benchmark"])
    w("| Python, pySerial | %s, %s (Debian's python3-serial) |" % (py["python"], info["pyserial"]))
    w("| Load average (1, 5, 15 min) | %s before the run, %s after |" % (load_before, load_after))
    w("| Repetitions | %d of each benchmark, randomly interleaved, min. %g s each |"
      % (args.repetitions, args.min_time))
    w("")
    w("The machine is shared: other builds ran on its cores during the run (see the load")
    w("average). Every time below is therefore the **median** over the repetitions of the")
    w("**CPU time of the measured thread** (user + system, so the system call itself is in")
    w("it): time spent waiting for a core, and the helper thread that serves the pty's far")
    w("end, are not. Real (wall-clock) medians are given beside them. The instruction counts")
    w("from callgrind further down do not depend on load at all.")
    w("")
    w("## The library against its floor")
    w("")
    w("| Paired benchmark | Library, CPU per call | Floor, CPU per call | Ratio (median) | min … max | Goal |")
    w("|---|---|---|---|---|---|")
    for name, res, goal in (("BM_move_paired", move_pair, GOALS["move"]),
                            ("BM_read_paired", read_pair, GOALS["read"])):
        c = res["counters"]
        w("| `%s` | %s | %s | **%.3f** (%+.0f ns) | %.3f … %.3f | ≤ %.2f: %s |" % (
            name, ns(c["library_ns"]), ns(c["raw_ns"]), c["ratio"], c["library_ns"] - c["raw_ns"],
            res["min_counters"]["ratio"], res["max_counters"]["ratio"], goal,
            verdict(c["ratio"] <= goal)))
    w("")
    w("The goals are judged here. Each paired benchmark runs the library and its floor")
    w("side by side: blocks of 64 calls of each, alternating (which one goes first swaps")
    w("every round), each block timed by the thread's own CPU clock, so both meet the same")
    w("load within a fraction of a millisecond. Its ratio is the median over the")
    w("repetitions of each repetition's ratio of totals. The separate benchmarks below")
    w("measure the same calls one at a time; on a loaded machine their medians drift apart")
    w("by more than the difference being measured, so their ratio is given for")
    w("completeness only.")
    w("")
    w("| Benchmark | CPU (median) | min … max | Real (median) | Ratio of medians | Ratio of minima |")
    w("|---|---|---|---|---|---|")

    def row(name, res, ratio, min_ratio):
        w("| `%s` | %s | %s … %s | %s | %s | %s |" % (
            name, ns(res["cpu_ns"]), ns(res["cpu_min_ns"]), ns(res["cpu_max_ns"]),
            ns(res["real_ns"]), ratio, min_ratio))

    row("BM_move_raw_write", move_raw, "floor", "")
    row("BM_move_library", move_lib, "%.3f" % (move_lib["cpu_ns"] / move_raw["cpu_ns"]),
        "%.3f" % (move_lib["cpu_min_ns"] / move_raw["cpu_min_ns"]))
    row("BM_read_raw_read", read_raw, "floor", "")
    row("BM_read_library", read_lib, "%.3f" % (read_lib["cpu_ns"] / read_raw["cpu_ns"]),
        "%.3f" % (read_lib["cpu_min_ns"] / read_raw["cpu_min_ns"]))
    w("")
    w("- `BM_move_library`: `axis_x_move(h, 1000, 200, 50)` on an open handle, the 12 bytes")
    w("  `01 01 06 A1 E8 03 C8 00 32 00 64 9A`; `BM_move_raw_write`: one `write()` of those same")
    w("  precomputed bytes on a slave opened and set up the way the library opens its port.")
    w("  A thread drains the master. Both check that the bytes on the wire are that frame.")
    w("- `BM_read_library`: `axis_read_upload` with one 19-byte upload frame waiting in the")
    w("  slave's input queue; `BM_read_raw_read`: one non-blocking `read()` of the same waiting")
    w("  bytes. The frames are fed, with the timer stopped, to a batch of 64 ptys and the")
    w("  timer runs over one read per pty, so the feeding is never timed and stopping the")
    w("  timer costs 1/64 of its price per read; each pty's queue is checked (`FIONREAD`) to")
    w("  hold exactly the frame before the timer starts.")
    w("- Heap allocations on the measured thread (global `operator new` in every form and")
    w("  `malloc`/`calloc`/`realloc` replaced in the benchmark binary): **%g per move**, %g per"
      % (allocs_move, allocs_read))
    w("  read (the largest over all repetitions); goal 0 per move: %s."
      % verdict(allocs_move == 0))
    waits = move_raw["max_counters"].get("waits_for_room", 0.0)
    w("- When the drainer falls behind and the pty is full, a write has to wait for room;")
    w("  the raw benchmark counts those waits: at most %.2g per write in this run." % waits)
    w("")
    if sysc:
        w("### System calls per call (strace -c, main thread only)")
        w("")
        w("Counted over %d calls made by `kinetra-bench --calls=MODE:N`, less a run with 0 calls;" % args.trace_calls)
        w("the pty's far end is served by another thread, which strace does not follow.")
        w("")
        w("| Call | System calls per call |")
        w("|---|---|")
        for mode, label in (("move", "`axis_x_move`"), ("raw-write", "raw `write()`"),
                            ("read", "`axis_read_upload`"), ("raw-read", "raw `read()`")):
            per = sysc.get(mode, {})
            text = ", ".join("%s %g" % (k, round(v, 3)) for k, v in sorted(per.items())) or "none"
            w("| %s | %s |" % (label, text))
        w("")
        waits = sysc.get("move", {}).get("poll", 0) + sysc.get("raw-write", {}).get("poll", 0)
        w("The move path makes one `write()` and touches neither the timeouts nor anything")
        w("else; the read path makes one `read()` (its timeouts are kept in the handle, so")
        w("switching them for the non-blocking read costs no system call).")
        if waits:
            w("A `poll()`, and a second `write()` for the rest of the frame, appear only when")
            w("the pty was full because the thread that drains it got no core for a while: the")
            w("wait for room that any writer must make then.")
        w("")
    if instr:
        w("### Instructions per call (callgrind, user space)")
        w("")
        w("Over %d calls each; the kernel's work inside the system call is not counted, the" % args.trace_calls)
        w("libc wrapper is.")
        w("")
        w("| Call | Instructions | Added by the library |")
        w("|---|---|---|")
        w("| raw `write()` | %.0f | |" % instr["raw-write"][0])
        w("| `axis_x_move` | %.0f | %+.0f |" % (instr["move"][0], instr["move"][0] - instr["raw-write"][0]))
        w("| raw `read()` | %.0f | |" % instr["raw-read"][0])
        w("| `axis_read_upload` | %.0f | %+.0f |" % (instr["read"][0], instr["read"][0] - instr["raw-read"][0]))
        w("")
        for mode, label in (("move", "axis_x_move"), ("read", "axis_read_upload")):
            w("Where the instructions of one `%s` go (self cost per call):" % label)
            w("")
            w("| Function | Instructions |")
            w("|---|---|")
            for name, ir in instr[mode][1]:
                w("| `%s` | %.0f |" % (name.replace("|", "\\|"), ir))
            w("")
    w("## Codec and scan")
    w("")
    w("| Benchmark | CPU (median) | Throughput | Ratio |")
    w("|---|---|---|---|")
    for n in ("24", "4096"):
        lib, ref = r["BM_crc16_modbus/" + n], r["BM_crc16_reference/" + n]
        w("| `BM_crc16_reference/%s` (bit by bit) | %s | %.0f MB/s | baseline |"
          % (n, ns(ref["cpu_ns"]), ref["counters"]["bytes_per_second"] / 1e6))
        w("| `BM_crc16_modbus/%s` (table) | %s | %.0f MB/s | %.1fx faster |"
          % (n, ns(lib["cpu_ns"]), lib["counters"]["bytes_per_second"] / 1e6,
             ref["cpu_ns"] / lib["cpu_ns"]))
    for n in ("6", "18"):
        e = r["BM_encode_frame/" + n]
        w("| `BM_encode_frame/%s` (%d-byte frame) | %s | %.0f MB/s | |"
          % (n, int(n) + 6, ns(e["cpu_ns"]), e["counters"]["bytes_per_second"] / 1e6))
    s = r["BM_scan_upload"]
    w("| `BM_scan_upload` (4 KiB noise + 1 frame) | %s | %.2f GB/s | |"
      % (ns(s["cpu_ns"]), s["counters"]["bytes_per_second"] / 1e9))
    w("")
    w("The 24-byte CRC figure is a throughput: back-to-back calls are independent, so the")
    w("processor overlaps them. Within one call the table CRC is a chain of dependent")
    w("loads, one per byte, which the 4 KiB figure shows (about %.2f ns a byte)."
      % (r["BM_crc16_modbus/4096"]["cpu_ns"] / 4096))
    w("The scan's noise holds no 0x7A/0x7B byte, so it steps through it one byte at a time:")
    w("its worst case.")
    w("")
    w("## Against a pySerial script")
    w("")
    w("`bench/pyserial_compare.py`: what a host programmer would write instead, pySerial at")
    w("115200 8N1 with the library's write timeout and a bit-by-bit CRC-16/MODBUS in Python,")
    w("sending the same 12 bytes to the same kind of pty (checked), against the library from")
    w("the same interpreter through ctypes, and natively. CPU time of the calling thread per")
    w("move, median of %d × %d moves, interleaved." % (py["repetitions"], py["moves_per_repetition"]))
    w("")
    w("| Caller | CPU per move | pySerial ÷ this |")
    w("|---|---|---|")
    w("| pySerial script | %s | 1 |" % ns(py["pyserial_cpu_ns"]))
    w("| library through ctypes | %s | %.1fx |" % (ns(py["ctypes_cpu_ns"]), py["ratio_pyserial_to_ctypes"]))
    w("| library, native (`BM_move_library`) | %s | **%.1fx** |" % (ns(py["native_cpu_ns"]), py["ratio_pyserial_to_native"]))
    w("| for comparison: one raw `write()` (`BM_move_raw_write`) | %s | %.1fx |"
      % (ns(move_raw["cpu_ns"]), py["pyserial_cpu_ns"] / move_raw["cpu_ns"]))
    w("")
    w("Goal: the library at least %gx cheaper per move than the pySerial script: %s."
      % (GOALS["pyserial"], verdict(py["ratio_pyserial_to_native"] >= GOALS["pyserial"])))
    if py["pyserial_cpu_ns"] / move_raw["cpu_ns"] < GOALS["pyserial"]:
        w("On this machine the goal cannot be met by any library: the `write()` system call")
        w("alone, which every caller must make, costs more than 1/%g of the pySerial script's"
          % GOALS["pyserial"])
        w("move. The script's cost is mostly the interpreter (the CRC loop, building the")
        w("bytes, pySerial's own checks), the rest the same kernel work.")
    w("pySerial's `write()` also makes two system calls per frame where the library makes")
    w("one: `os.write` and then a `select()` that waits until the port can take more.")
    w("")
    w("## Against the wire")
    w("")
    w("At %d baud 8N1 a byte is %d bits on the line, so a 12-byte move takes %.2f ms to send"
      % (BAUD, BITS_PER_BYTE, WIRE_MOVE_S * 1e3))
    w("and the line carries at most %d moves per second." % WIRE_MOVES_PER_S)
    w("")
    w("| | Per move | Moves per second |")
    w("|---|---|---|")
    w("| the wire at 115200 8N1 | %.2f ms | %d |" % (WIRE_MOVE_S * 1e3, WIRE_MOVES_PER_S))
    w("| the library's CPU (`BM_move_library`) | %s = **%.3f %%** of the wire time | %s |"
      % (ns(move_lib["cpu_ns"]), wire_fraction * 100, "{:,.0f}".format(cpu_moves_per_s)))
    own = move_pair["counters"]["library_ns"] - move_pair["counters"]["raw_ns"]
    w("| of which the library's own work, above the `write()` (`BM_move_paired`) | %s = %.4f %% | |"
      % (ns(own), own * 1e-9 / WIRE_MOVE_S * 100))
    w("")
    w("The serial line, not the library, is what limits a host: a core spends about 1/%.0f"
      % (1 / wire_fraction))
    w("of the time the line needs to carry a move on issuing it.")
    w("")
    if spy:
        L.extend(spy_section(spy, info, date, load_before, load_after))
        w("")
    w("## Goals")
    w("")
    w("| Goal | Measured | |")
    w("|---|---|---|")
    w("| move within 5 %% of a raw `write()` (`BM_move_paired`) | %.3f | %s |" % (move_ratio, verdict(move_ratio <= GOALS["move"])))
    w("| read within 10 %% of a raw `read()` (`BM_read_paired`) | %.3f | %s |" % (read_ratio, verdict(read_ratio <= GOALS["read"])))
    w("| 0 allocations per move | %g | %s |" % (allocs_move, verdict(allocs_move == 0)))
    mv = sysc.get("move", {})
    one_write = (bool(mv) and set(mv) <= {"write", "poll"} and abs(mv["write"] - 1) < 0.01
                 and mv.get("poll", 0) < 0.01)
    w("| one `write()` per move, no timeout change | %s | %s |" % (
        ", ".join("%s %g" % kv for kv in sorted(mv.items())) if sysc else "not traced",
        verdict(one_write) if sysc else "not traced"))
    w("| 20x cheaper per move than pySerial | %.1fx | %s |" % (
        py["ratio_pyserial_to_native"], verdict(py["ratio_pyserial_to_native"] >= GOALS["pyserial"])))
    if spy:
        added, no_slower = spy_goals(spy)
        w("| kinetra-spy adds under %g µs at the median | %+.1f µs | %s |"
          % (GOALS["spy_added_us"], added, verdict(added < GOALS["spy_added_us"])))
        w("| kinetra-spy no slower than socat (median and p99) | %.2f and %.2f | %s |"
          % (spy["spy"]["median_us"] / spy["socat"]["median_us"],
             spy["spy"]["p99_us"] / spy["socat"]["p99_us"], verdict(no_slower)))
    w("")
    if args.notes and os.path.exists(args.notes):
        w(read_text(args.notes).rstrip())
        w("")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(L))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--out", help="default: docs/performance.md (none with --quick)")
    ap.add_argument("--repetitions", type=int, default=10)
    ap.add_argument("--min-time", type=float, default=0.3)
    ap.add_argument("--trace-calls", type=int, default=2000)
    ap.add_argument("--py-moves", type=int, default=20000)
    ap.add_argument("--notes", default=os.path.join(ROOT, "bench", "performance-notes.md"),
                    help="hand-written analysis appended to the report")
    ap.add_argument("--spy-samples", type=int, default=3000,
                    help="frames per path for the spy's latency")
    ap.add_argument("--spy-only", action="store_true",
                    help="only the spy's latency, replacing only its section of the file")
    ap.add_argument("--quick", action="store_true", help="seconds, to prove that it runs")
    args = ap.parse_args()
    if args.quick:
        args.repetitions, args.min_time, args.trace_calls, args.py_moves = 2, 0.01, 50, 200
        args.spy_samples = 200
    out = args.out or (None if args.quick else os.path.join(ROOT, "docs", "performance.md"))

    build = os.path.abspath(args.build)
    if args.spy_only:
        date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")
        load_before = load_average()
        print("the spy's latency: %d frames a path ..." % args.spy_samples, flush=True)
        spy, why = spy_latency(build, args.spy_samples)
        if spy is None:
            raise SystemExit(why)
        if out:
            replace_spy_section(out, spy_section(spy, machine(build), date, load_before,
                                                 load_average()))
            print("wrote the spy's section of " + out)
        return
    bench = os.path.join(build, "bench", "kinetra-bench")
    lib = os.path.join(build, "libKinetra.so")
    for p in (bench, lib):
        if not os.path.exists(p):
            raise SystemExit("%s is missing: build first (cmake --build --preset release)" % p)

    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")
    info = machine(build)
    load_before = load_average()
    print("kinetra-bench: %d repetitions ..." % args.repetitions, flush=True)
    results, context = run_bench(bench, args.repetitions, args.min_time)

    print("pySerial comparison ...", flush=True)
    with tempfile.NamedTemporaryFile(suffix=".json") as pj:
        run([PYTHON, os.path.join(ROOT, "bench", "pyserial_compare.py"), "--lib", lib,
             "--native-cpu-ns", repr(results["BM_move_library"]["cpu_ns"]),
             "--moves", str(args.py_moves), "--repetitions", str(max(3, args.repetitions // 2)),
             "--json", pj.name])
        with open(pj.name, encoding="utf-8") as f:
            py = json.load(f)

    modes = ("move", "raw-write", "read", "raw-read")
    sysc = {}
    if shutil.which("strace"):
        print("strace ...", flush=True)
        sysc = {m: syscalls_per_call(bench, m, args.trace_calls) for m in modes}
    instr = {}
    if shutil.which("valgrind") and shutil.which("callgrind_annotate"):
        print("callgrind ...", flush=True)
        # Under valgrind the feeding thread can stall the pty handshake on
        # some machines; the report then goes without counts, as when
        # valgrind is missing, and says so.
        try:
            with tempfile.TemporaryDirectory() as tmp:
                instr = {m: instructions_per_call(bench, m, args.trace_calls, tmp) for m in modes}
        except subprocess.CalledProcessError as e:
            print("callgrind failed (%s): no instruction counts" % " ".join(e.cmd[-2:]), flush=True)
            instr = {}
    print("the spy's latency: %d frames a path ..." % args.spy_samples, flush=True)
    spy, why = spy_latency(build, args.spy_samples)
    if spy is None:
        print("no figures for the spy's latency: " + why, flush=True)
    load_after = load_average()

    move_ratio = results["BM_move_paired"]["counters"]["ratio"]
    read_ratio = results["BM_read_paired"]["counters"]["ratio"]
    print("paired: move library/raw write = %.3f   read library/raw read = %.3f   "
          "pySerial/native = %.1fx" % (move_ratio, read_ratio, py["ratio_pyserial_to_native"]))
    if sysc:
        print("syscalls per move: %s   per read: %s" % (sysc["move"], sysc["read"]))
    if instr:
        print("instructions per move: %.0f (raw %.0f)   per read: %.0f (raw %.0f)"
              % (instr["move"][0], instr["raw-write"][0], instr["read"][0], instr["raw-read"][0]))
    if out:
        write_report(out, info, load_before, load_after, date, results, context, py, sysc, instr,
                     spy, args)
        print("wrote " + out)


if __name__ == "__main__":
    main()
