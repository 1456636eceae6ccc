#!/usr/bin/python3
"""What a move costs through the kinetra Python package, against the C library and pySerial.

Three callers, one run, the same kind of port (a pseudo-terminal whose far
end a child process drains), the same 12 bytes on the wire (checked):

  binding    kinetra.Platform.move_x(1000, 200, 50): the package, with its
             lock, argument checks and result check;
  native     axis_x_move called from C: kinetra-bench's BM_move_library;
  pySerial   the script a user would write instead (bench/pyserial_compare.py:
             pySerial at 115200 8N1, a bit-by-bit CRC-16/MODBUS in Python);

and, for reference, axis_x_move through bare ctypes with argtypes (the
README's raw listing). Figures are CPU time of the calling thread per move
(time.thread_time, user + system, so the write() itself is in them).

The machine may be shared, so the callers are measured side by side: each
repetition runs every Python caller for --moves moves, in an order that
rotates, and one short kinetra-bench run; a ratio is taken within each
repetition and the median over the repetitions is reported.

Goals: the binding at least 5x cheaper per move than the pySerial script and
at most 3x the C library's cost.

Usage: python_compare.py --lib build/release/libKinetra.so.1
                         --bench build/release/bench/kinetra-bench
                         [--moves 20000] [--repetitions 9] [--json out.json]
                         [--doc docs/performance.md]
--doc replaces the section between the BEGIN and END markers below in that
file (or appends one) with the figures of this run.
Run it with the interpreter that has the package installed (a venv with the
wheel), or it is imported from bindings/python/src.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pyserial_compare as psc  # noqa: E402  (the pySerial script, the pty, the timer)
from doc_section import replace_section  # noqa: E402

try:
    import kinetra
except ImportError:
    sys.path.insert(0, os.path.join(HERE, "..", "bindings", "python", "src"))
    import kinetra

GOALS = {"pyserial_over_binding": 5.0, "binding_over_native": 3.0}
BEGIN = "<!-- written by bench/python_compare.py --doc: begin -->"
END = "<!-- written by bench/python_compare.py --doc: end -->"


def native_once(bench, min_time):
    """CPU per move of one short BM_move_library run, in seconds."""
    out = subprocess.run(
        [bench, "--benchmark_filter=^BM_move_library$", "--benchmark_min_time=%g" % min_time,
         "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    for b in json.loads(out)["benchmarks"]:
        if b["name"] == "BM_move_library" and b.get("run_type", "iteration") == "iteration":
            if b.get("error_occurred"):
                raise SystemExit("BM_move_library: " + b.get("error_message", "failed"))
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
            return b["cpu_time"] * scale
    raise SystemExit("no BM_move_library in kinetra-bench's output")


def check_wire(lib_path):
    """Every caller puts the very same frame on the wire, or they are not comparable."""
    raw = psc.load_library(lib_path)

    def binding_once(path):
        with kinetra.Platform(path, library=lib_path) as p:
            p.move_x(1000, 200, 50)

    def user_once(path):
        with psc.open_pyserial(path) as port:
            psc.x_move(port, 0x01, 1000, 200, 50)

    def ctypes_once(path):
        h = raw.axis_init(path.encode(), 0x01, None)
        raw.axis_x_move(h, 1000, 200, 50)
        raw.axis_close(h)

    for name, once in (("binding", binding_once), ("pySerial script", user_once), ("ctypes", ctypes_once)):
        got = psc.capture_first_frame(once)
        if got != psc.EXPECTED_FRAME:
            raise SystemExit("%s sent %s, expected %s" % (name, got.hex(), psc.EXPECTED_FRAME.hex()))
    return raw


def measure(lib_path, raw, bench, moves, repetitions, min_time):
    # One pty for the three Python callers, so that they meet the same
    # drainer: bare ctypes drives the Platform's own handle (the library
    # opens a port exclusively), pySerial opens the slave beside it.
    pty = psc.Pty()
    platform = kinetra.Platform(pty.path, library=lib_path)
    handle = platform._handle.value
    port = psc.open_pyserial(pty.path)
    move_x = platform.move_x

    def binding():
        if move_x(1000, 200, 50) != 12:
            raise SystemExit("Platform.move_x did not write 12 bytes")

    def via_ctypes():
        if raw.axis_x_move(handle, 1000, 200, 50) != 12:
            raise SystemExit("axis_x_move did not write 12 bytes")

    def user():
        if psc.x_move(port, 0x01, 1000, 200, 50) != 12:
            raise SystemExit("pySerial wrote a short frame")

    callers = [("binding", binding), ("ctypes", via_ctypes), ("pyserial", user)]
    runs = {name: [] for name, _ in callers}
    runs["native"] = []
    try:
        for rep in range(repetitions):
            order = callers[rep % 3:] + callers[:rep % 3]
            for name, step in order:
                runs[name].append(psc.per_move_cpu(moves, step))
            if bench:
                runs["native"].append(native_once(bench, min_time))
    finally:
        platform.close()
        port.close()
        pty.close()
    return runs


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores as the OS sees them" % (cpu, os.cpu_count() or 0)


def doc_section(r):
    ns = r["cpu_ns"]

    def t(v):
        return "%.2f µs" % (v / 1000) if v >= 1000 else "%.0f ns" % v

    def verdict(name):
        g = r["goals"][name]
        if g["measured"] is None:
            return "not measured"
        return "**met**" if g["met"] else "**missed**"

    w = []
    w.append("## The Python package against the C library and pySerial")
    w.append("")
    w.append("`bench/python_compare.py`, run on %s (UTC), %s; load average %s during"
             % (r["date"], machine(), " ".join("%.2f" % x for x in r["load_average"])))
    w.append("the run; Python %s, pySerial %s, the installed kinetra %s wheel. The same 12 bytes"
             % (r["python"], r["pyserial"], r["kinetra"]))
    w.append("(`01 01 06 A1 E8 03 C8 00 32 00 64 9A`, checked) to the same kind of pty, whose far end a")
    w.append("child process drains; the three Python callers share one pty. CPU time of the calling")
    w.append("thread per move (the `write()` included), median of %d repetitions of %d moves each,"
             % (r["repetitions"], r["moves_per_repetition"]))
    w.append("callers interleaved; each ratio is the median of the repetitions' own ratios.")
    w.append("")
    w.append("| Caller | CPU per move | ÷ C library (of medians) | pySerial ÷ this |")
    w.append("|---|---|---|---|")
    rows = [("`kinetra.Platform.move_x(1000, 200, 50)`", "binding"),
            ("`axis_x_move` through bare ctypes (the raw listing)", "ctypes"),
            ("`axis_x_move` from C (`BM_move_library`)", "native"),
            ("the pySerial script (`bench/pyserial_compare.py`)", "pyserial")]
    for label, key in rows:
        if key not in ns:
            continue
        over_native = "%.2f" % (ns[key] / ns["native"]) if "native" in ns else "—"
        w.append("| %s | %s | %s | %.1fx |" % (label, t(ns[key]), over_native, ns["pyserial"] / ns[key]))
    w.append("")
    w.append("| Goal | Measured | |")
    w.append("|---|---|---|")
    g = r["goals"]["pyserial_over_binding"]
    w.append("| the binding at least %gx cheaper per move than pySerial | %.2fx | %s |"
             % (g["goal"], g["measured"], verdict("pyserial_over_binding")))
    g = r["goals"]["binding_over_native"]
    if g["measured"] is not None:
        w.append("| the binding at most %gx the C library's cost per move | %.2fx | %s |"
                 % (g["goal"], g["measured"], verdict("binding_over_native")))
    w.append("")
    if "native" in ns:
        w.append("The C library's own figure comes from kinetra-bench, on a pty of its own drained by a")
        w.append("thread; one short run of it sits in each repetition. No caller of the library can be")
        w.append("more than pySerial ÷ C library = %.1fx cheaper than the script in this run, since each"
                 % (ns["pyserial"] / ns["native"]))
        w.append("makes the same `write()`, whose kernel work grows with the machine's load.")
    w.append("Through the package a move costs %.2fx one through bare ctypes: the binding passes the"
             % r["binding_over_ctypes"])
    w.append("single-axis arguments to ctypes without `argtypes` converters (it has checked their ranges")
    w.append("itself), which pays for most of its lock, argument checks and result check.")
    return "\n".join(w) + "\n"


def write_doc(path, section):
    replace_section(path, BEGIN, END, BEGIN + "\n" + section + END + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lib", required=True, help="libKinetra.so.1 to load (the binding and ctypes)")
    ap.add_argument("--bench", help="kinetra-bench, for the native figure")
    ap.add_argument("--moves", type=int, default=20000)
    ap.add_argument("--repetitions", type=int, default=9)
    ap.add_argument("--native-min-time", type=float, default=0.3,
                    help="seconds of BM_move_library per repetition")
    ap.add_argument("--json", help="also write the results here")
    ap.add_argument("--doc", help="write the results' section into this Markdown file")
    args = ap.parse_args()
    lib_path = os.path.abspath(args.lib)

    raw = check_wire(lib_path)
    runs = measure(lib_path, raw, args.bench, args.moves, args.repetitions, args.native_min_time)
    ns = {name: statistics.median(v) * 1e9 for name, v in runs.items() if v}

    def ratio(a, b):
        return statistics.median(x / y for x, y in zip(runs[a], runs[b]))

    result = {
        "python": sys.version.split()[0],
        "pyserial": psc.serial.__version__,
        "kinetra": kinetra.__version__,
        "kinetra_from": os.path.dirname(kinetra.__file__),
        "moves_per_repetition": args.moves,
        "repetitions": args.repetitions,
        "cpu_ns": ns,
        "cpu_ns_all": {name: [t * 1e9 for t in v] for name, v in runs.items()},
        "pyserial_over_binding": ratio("pyserial", "binding"),
        "binding_over_ctypes": ratio("binding", "ctypes"),
        "load_average": os.getloadavg(),
        "date": time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
    }
    if runs["native"]:
        result["binding_over_native"] = ratio("binding", "native")
        result["ctypes_over_native"] = ratio("ctypes", "native")
    result["goals"] = {
        name: {"goal": goal, "measured": result.get(name),
               "met": None if name not in result else (
                   result[name] >= goal if name.startswith("pyserial") else result[name] <= goal)}
        for name, goal in GOALS.items()
    }

    print("CPU per move, median of %d repetitions x %d moves (kinetra from %s):"
          % (args.repetitions, args.moves, result["kinetra_from"]))
    print("  kinetra.Platform.move_x:      %9.0f ns" % ns["binding"])
    print("  axis_x_move via bare ctypes:  %9.0f ns" % ns["ctypes"])
    if "native" in ns:
        print("  axis_x_move from C:           %9.0f ns" % ns["native"])
    print("  pySerial script:              %9.0f ns" % ns["pyserial"])
    for name, g in result["goals"].items():
        if g["measured"] is None:
            print("  %s: not measured (no --bench)" % name)
        else:
            print("  %s = %.2f (goal %s %g): %s" % (
                name, g["measured"], ">=" if name.startswith("pyserial") else "<=", g["goal"],
                "met" if g["met"] else "missed"))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=2)
            f.write("\n")
    if args.doc:
        write_doc(args.doc, doc_section(result))


if __name__ == "__main__":
    main()
