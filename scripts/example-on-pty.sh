#!/usr/bin/env bash
# Runs the example host against the simulated platform and shows the frames
# the platform received, decoded, as kinetra-sim logs them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
example=$build/examples/kinetra_example
sim=$build/tools/kinetra-sim
dir=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
"$sim" >"$dir/port" 2>"$dir/log" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.1; done
port=$(head -n 1 "$dir/port")
echo "--- the simulator serves $port; the example host says:"
"$example" "$port" || true
sleep 0.2
kill -TERM "$sim_pid"; wait "$sim_pid" || true; sim_pid=
echo "--- the simulator's log:"
cat "$dir/log"
