#!/usr/bin/env bash
# Builds and runs the .NET benchmark (Program.cs) with its C side (native_loop.c)
# against build/release/libKinetra.so. Options go to the benchmark:
#   bindings/dotnet/bench/run.sh [--quick] [--repetitions N] [--report docs/performance.md]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=${KINETRA_BUILD:-$root/build/release}
out=$here/../out/bench
mkdir -p "$out"
[ -f "$build/libKinetra.so" ] || { echo "run.sh: $build/libKinetra.so not built" >&2; exit 1; }
cc -O2 -g -std=c11 -Wall -Wextra -Werror -fPIC -shared -I "$root/include" \
  -o "$out/libkinetra_dotnet_bench.so" "$here/native_loop.c" \
  -L "$build" -lKinetra -Wl,-rpath,"$build" -lutil -lpthread
dotnet build "$here/Kinetra.Net.Bench.csproj" -c Release -o "$out/app" -p:KinetraBuild="$build" \
  -nologo -v quiet
extra=()
[ ! -x "$build/bench/kinetra-bench" ] || extra=(--kinetra-bench "$build/bench/kinetra-bench")
# The report path is relative to where the caller stands.
LD_LIBRARY_PATH="$out:$build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" dotnet "$out/app/Kinetra.Net.Bench.dll" "${extra[@]}" "$@"
