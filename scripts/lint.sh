#!/usr/bin/env bash
# Formatting and static analysis of the project's own C++ (needs a configured
# build folder for compile_commands.json; defaults to build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' | grep -v '^tests/install_consumer/')
clang-format --dry-run --Werror "${files[@]}"
mapfile -t tidy < <(printf '%s\n' "${files[@]}" | grep -E '\.cpp$' |
  while read -r f; do grep -q "\"file\": \"$PWD/$f\"" "$build/compile_commands.json" && echo "$f"; done)
if ! out=$(clang-tidy -p "$build" --quiet "${tidy[@]}" 2>&1); then
  printf '%s\n' "$out" | grep -vE '^[0-9]+ warnings generated\.$|^Suppressed|^Use -header-filter'
  exit 1
fi
echo "lint: formatting and clang-tidy clean"
