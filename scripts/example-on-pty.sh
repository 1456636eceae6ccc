#!/usr/bin/env bash
# Runs the example host on one end of a socat pseudo-terminal pair and shows,
# in hex, the frames that arrive at the other end.
set -euo pipefail
cd "$(dirname "$0")/.."
example=${1:-build/release/examples/kinetra_example}
dir=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$dir"' EXIT
socat pty,raw,echo=0,link="$dir/host" pty,raw,echo=0,link="$dir/platform" &
for _ in $(seq 50); do [ -e "$dir/platform" ] && break; sleep 0.1; done
stdbuf -oL od -An -tx1 -v -w12 <"$dir/platform" >"$dir/wire" &
sleep 0.2
"$example" "$dir/host" || true
sleep 0.3
echo "--- bytes that reached the platform side:"
cat "$dir/wire"
