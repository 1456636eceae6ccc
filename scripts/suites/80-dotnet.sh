# Kinetra.Net (bindings/dotnet): the xunit tests on the .NET SDK against
# libKinetra.so and kinetra-sim, the NuGet package (with Kinetra.dll from the
# windows preset) checked against its manifest, the Mono smoke program and a
# consumer project built from the package in a local folder feed, and a short
# run of the .NET benchmark. KINETRA_WINDOWS_DLL names a Kinetra.dll built
# elsewhere instead of the cross-build.
set -euo pipefail
root=$PWD
net=$root/bindings/dotnet
out=$net/out

command -v dotnet >/dev/null || {
  echo "80-dotnet: 'dotnet' is not on PATH. The .NET SDK (10 or later) is not a Debian package;" >&2
  echo "80-dotnet: install it from Microsoft's packages or tarball so that 'dotnet --version' works." >&2
  exit 1
}
for tool in mcs mono; do
  command -v $tool >/dev/null || { echo "80-dotnet: $tool missing: apt-get install mono-devel (scripts/packages/dotnet.txt)" >&2; exit 1; }
done
export DOTNET_NOLOGO=1 DOTNET_CLI_TELEMETRY_OPTOUT=1

cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target Kinetra kinetra-sim
so=$root/build/release/libKinetra.so
sim=$root/build/release/tools/kinetra-sim

rm -rf "$out"
mkdir -p "$out"
passed=0
failed=0
note() { if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "80-dotnet: FAILED: $2" >&2; fi; }

sims=()
stop_sims() { for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop_sims EXIT
# start_sim NAME ARGS...: serves a new pty; its path lands in $port, its log in $out/NAME.log.
start_sim() {
  local name=$1
  shift
  "$sim" "$@" >"$out/$name.port" 2>"$out/$name.log" &
  sims+=($!)
  for _ in $(seq 50); do
    port=$(head -n 1 "$out/$name.port")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "80-dotnet: kinetra-sim printed no port" >&2
  exit 1
}

echo "--- xunit tests (dotnet test)"
set +e
dotnet test "$net/tests/Kinetra.Net.Tests" -c Release -p:KinetraLinuxNative="$so" \
  --logger "console;verbosity=normal" --logger "trx;LogFileName=$out/xunit.trx"
rc=$?
set -e
# The counts from the run's own record, not from its console text.
counts=$(/usr/bin/python3 -c '
import sys, xml.etree.ElementTree as ET
c = ET.parse(sys.argv[1]).getroot().find("{*}ResultSummary/{*}Counters")
print(c.get("passed"), int(c.get("total")) - int(c.get("passed")))' "$out/xunit.trx" 2>/dev/null || true)
if [ -z "$counts" ]; then
  note 1 "dotnet test left no results (exit $rc)"
else
  read -r p f <<<"$counts"
  passed=$((passed + p))
  failed=$((failed + f))
  [ "$rc" -eq 0 ] || [ "$f" -gt 0 ] || note 1 "dotnet test exited $rc"
fi

echo "--- Kinetra.dll for the package"
dll=${KINETRA_WINDOWS_DLL:-$root/build/windows/bin/Kinetra.dll}
if [ -z "${KINETRA_WINDOWS_DLL:-}" ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j 2 --target Kinetra || dll=
fi
if [ -z "$dll" ] || [ ! -f "$dll" ]; then
  note 1 "no Kinetra.dll (the windows preset's build failed above): no package, so no Mono or consumer run"
else
  echo "--- NuGet package (dotnet pack)"
  dotnet pack "$net/src/Kinetra.Net" -c Release -o "$out/feed" \
    -p:KinetraLinuxNative="$so" -p:KinetraWindowsNative="$dll"
  nupkg=$(ls "$out"/feed/Kinetra.Net.*.nupkg)
  set +e
  /usr/bin/python3 "$net/check_package.py" "$nupkg" --linux-native "$so" --windows-native "$dll"
  note $? "the package does not match bindings/dotnet/package-manifest.txt"
  set -e

  echo "--- Mono smoke program against the packaged assembly"
  mkdir -p "$out/mono/pkg"
  (cd "$out/mono" && /usr/bin/python3 -m zipfile -e "$nupkg" pkg &&
    cp pkg/lib/netstandard2.0/Kinetra.Net.dll pkg/runtimes/linux-x64/native/libKinetra.so . &&
    mcs -nologo -out:Smoke.exe -r:Kinetra.Net.dll -r:/usr/lib/mono/4.5/Facades/netstandard.dll "$net/mono/Smoke.cs")
  start_sim mono --rate 20
  set +e
  mono "$out/mono/Smoke.exe" "$port" | tee "$out/mono.txt"
  rc=${PIPESTATUS[0]}
  set -e
  mono_line=$(grep -E '^mono: [0-9]+ passed, [0-9]+ failed$' "$out/mono.txt" || true)
  if [ -n "$mono_line" ]; then
    passed=$((passed + $(sed -E 's/mono: ([0-9]+) passed.*/\1/' <<<"$mono_line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed/\1/' <<<"$mono_line")))
  else
    note 1 "the Mono smoke program stopped early (exit $rc)"
  fi
  sleep 0.3
  grep -q 'move X (0xA1) len 6 X\[target 1500 aux1 7 aux2 8\] CRC good' "$out/mono.log" &&
    grep -q 'move XYZ abs (0xA5) len 18 X\[target 100 aux1 1 aux2 2\] Y\[target -200 aux1 0 aux2 0\] Z\[target 300 aux1 0 aux2 9\] CRC good' "$out/mono.log" &&
    grep -q 'move Y (0xA2) len 6 Y\[target -5 aux1 0 aux2 0\] CRC good' "$out/mono.log"
  note $? "the simulator did not log the Mono program's three moves ($out/mono.log)"

  echo "--- consumer project from a local folder feed"
  set +e
  dotnet build "$net/consumer" -c Release -o "$out/consumer" --source "$out/feed" \
    --source /opt/nuget/packages --packages "$out/consumer-packages"
  rc=$?
  set -e
  note $rc "the consumer project did not build from the package"
  if [ $rc -eq 0 ]; then
    # The native library must come through the package's runtimes/ folder.
    [ -f "$out/consumer/runtimes/linux-x64/native/libKinetra.so" ] && [ ! -e "$out/consumer/libKinetra.so" ]
    note $? "the consumer's libKinetra.so is not where the package's runtimes/ put it"
    start_sim consumer --rate 20
    set +e
    dotnet "$out/consumer/Consumer.dll" "$port" | tee "$out/consumer.txt"
    rc=${PIPESTATUS[0]}
    set -e
    [ $rc -eq 0 ] && grep -q '^refused: Y Y轴超出限位$' "$out/consumer.txt" && grep -q '^consumer: done$' "$out/consumer.txt"
    note $? "the consumer did not run against kinetra-sim"
    sleep 0.3
    grep -q 'move X (0xA1) len 6 X\[target 250 aux1 1 aux2 2\] CRC good' "$out/consumer.log" &&
      grep -q 'move XYZ rel (0xA4) len 18 X\[target 10 aux1 0 aux2 0\] Y\[target -20 aux1 0 aux2 0\] Z\[target 30 aux1 0 aux2 0\] CRC good' "$out/consumer.log"
    note $? "the simulator did not log the consumer's moves ($out/consumer.log)"
  fi

fi

if [ -f "$net/bench/run.sh" ]; then
  echo "--- .NET benchmark, briefly (no figure is judged here)"
  set +e
  bash "$net/bench/run.sh" --quick
  note $? "the .NET benchmark did not run"
  set -e
fi

echo "dotnet: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
