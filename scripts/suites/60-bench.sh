# The benchmarks, briefly (a few minutes, most of them callgrind replaying the
# read path under valgrind, which serialises the feeding thread): proves that
# kinetra-bench, the pySerial comparison, the strace and callgrind counts, the
# spy's latency against a direct pty and socat, and the report script still
# run and that every benchmark's own checks pass (the bytes on the wire, the
# upload record, every relayed frame whole and unchanged). No figure is judged
# here; docs/performance.md is written by a full run of bench/make_report.py.
set -euo pipefail
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target kinetra-bench Kinetra kinetra-spy kinetra-spy-latency
/usr/bin/python3 bench/make_report.py --quick
