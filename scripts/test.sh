#!/usr/bin/env bash
# Builds and runs every test suite: each file in scripts/suites/ in order.
# Usage: scripts/test.sh [SUITE...]   e.g. scripts/test.sh release
set -euo pipefail
cd "$(dirname "$0")/.."
suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
  for f in scripts/suites/*.sh; do suites+=("$(basename "$f" .sh | sed 's/^[0-9]*-//')"); done
fi
for name in "${suites[@]}"; do
  file=$(ls scripts/suites/*-"$name".sh 2>/dev/null | head -n 1)
  [ -n "$file" ] || { echo "no suite named $name" >&2; exit 2; }
  echo "=== suite: $name ==="
  start=$SECONDS
  bash "$file"
  echo "=== suite $name passed in $((SECONDS - start)) s ==="
done
