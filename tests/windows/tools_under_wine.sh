#!/usr/bin/env bash
# Inside tests/windows/wine-run.sh --host: kinetra.exe and kinetra-sim.exe
# under Wine, each against the native program on the pty end of a COM pair.
#   tools_under_wine.sh CASE BIN_DIR
# CASE:
#   tool   kinetra.exe on COMa, the native kinetra-sim on the pty behind COMb
#   sim    kinetra-sim.exe on COMb, the native kinetra on the pty behind COMa
#   demo   kinetra.exe demo --pair COMa,COMb
#   ports  kinetra.exe ports: the listing from the registry, and --probe
#          telling the native kinetra-sim's port from a silent one
#   spy    kinetra-spy.exe between two pairs: the device on COMa of the
#          first, the host's side on COMa of the second; the native
#          kinetra-sim behind the first, the native kinetra behind the second
# The native tools come from KINETRA_NATIVE_TOOLS (a folder with kinetra and
# kinetra-sim, built for this machine); without it the case is skipped (77).
set -uo pipefail
case_name=$1 bin=$2
native=${KINETRA_NATIVE_TOOLS:-}
if [ -z "$native" ] || [ ! -x "$native/kinetra" ] || [ ! -x "$native/kinetra-sim" ]; then
  echo "SKIP: KINETRA_NATIVE_TOOLS names no folder with the native kinetra and kinetra-sim"
  exit 77
fi
pair=${KINETRA_PEER_PAIRS%%,*}
host_com=COM${pair%%:*}     # typed as a user would: the tool adds \\.\ above COM9
platform_com=COM${pair##*:} #
host_pty=$KINETRA_PORTS_DIR/com${pair%%:*}
platform_pty=$KINETRA_PORTS_DIR/com${pair##*:}
work=$(mktemp -d)
sim_pid=
# A Windows program outlives the wine command that started it (the process
# is handed to the Wine server), so kinetra-sim.exe is stopped by its
# command line: SIGTERM ends a Wine process.
wine_sim="^kinetra-sim.exe --port $platform_com( |\$)"
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
  fi
  stop_wine_program "$wine_sim"
}
stop_wine_program() { # PATTERN: SIGTERM, then wait until no process matches
  local i
  pkill -TERM -f "$1" 2>/dev/null
  for ((i = 0; i < 100; i++)); do
    pgrep -f "$1" >/dev/null || return 0
    sleep 0.05
  done
  echo "a Windows program matching '$1' did not stop" >&2
}
trap 'stop_sim; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run NAME PROGRAM ARGS...: stdout, stderr and the exit code in $work/NAME.*
run() {
  local name=$1
  shift
  "$@" >"$work/$name.out" 2>"$work/$name.err"
  echo $? >"$work/$name.rc"
  # A Windows program's text-mode streams end their lines in CR LF.
  sed -i 's/\r$//' "$work/$name.out" "$work/$name.err"
}
win() { (cd "$bin" && exec wine "$@"); }
rc_of() { cat "$work/$1.rc"; }
expect_rc() {
  [ "$(rc_of "$1")" = "$2" ] ||
    fail "$1 exited $(rc_of "$1"), not $2: $(cat "$work/$1.out" "$work/$1.err")"
}
expect_line() { # NAME STREAM TEXT: a whole line of the stream
  grep -qxF -- "$3" "$work/$1.$2" || fail "$1: no line '$3' in its $2: $(cat "$work/$1.$2")"
}

# Starts a simulator and waits until it serves.
start_sim() { # LOG PROGRAM ARGS...
  local log=$1 i
  shift
  "$@" 2>"$log" &
  sim_pid=$!
  for ((i = 0; i < 200; i++)); do
    grep -q 'serving ' "$log" && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  fail "the simulator did not start: $(cat "$log")"
  return 1
}

# read_until_x TOOL... : reads --json until word1 is the X wanted ($want_x)
read_until_x() {
  local i
  for ((i = 0; i < 30; i++)); do
    run read "$@" read --json
    grep -q "\"word1\":$want_x," "$work/read.out" && grep -q '"byte0":0,' "$work/read.out" &&
      return 0
    sleep 0.1
  done
  fail "the upload never showed X at $want_x: $(cat "$work/read.out" "$work/read.err")"
}

case $case_name in
tool)
  start_sim "$work/sim.log" "$native/kinetra-sim" --port "$platform_pty" --seed 7 || exit 1
  tool=(win kinetra.exe --port "$host_com")
  run move "${tool[@]}" move x 1500 200 50
  expect_rc move 0
  expect_line move out "move x 1500: sent 12 bytes"
  want_x=1500 read_until_x "${tool[@]}"
  run abs "${tool[@]}" move-abs 600 -700 800
  expect_rc abs 0
  expect_line abs out "move-abs 600 -700 800: sent 24 bytes"
  run rel "${tool[@]}" move-rel -- -100 50 0
  expect_rc rel 0
  expect_line rel out "move-rel -100 50 0: sent 24 bytes"
  want_x=500 read_until_x "${tool[@]}"
  grep -q '"word1":500,"word2":-650,"word3":800,' "$work/read.out" ||
    fail "the three-axis moves did not arrive: $(cat "$work/read.out")"
  run refused "${tool[@]}" --limits 1000,-1000,1000,-1000,1000,-1000 move x 5000
  expect_rc refused 1
  expect_line refused err "kinetra: move x 5000 failed: X轴超出限位 (X axis beyond its limit) [result -6]"
  run watch "${tool[@]}" watch --json --count 3
  expect_rc watch 0
  [ "$(grep -c '"word1":500,.*"rate":' "$work/watch.out")" = 3 ] ||
    fail "watch --count 3 did not print three uploads: $(cat "$work/watch.out")"
  stop_sim
  grep -q 'X to 1500' "$work/sim.log" || grep -q '1500' "$work/sim.log" ||
    fail "the simulator never logged the move: $(cat "$work/sim.log")"
  # A port Wine has no mapping for: the open fails with Windows' own words.
  run missing win kinetra.exe --port COM99 read
  expect_rc missing 1
  grep -q '^kinetra: cannot open \\\\.\\COM99: .*(error [0-9]*)$' "$work/missing.err" ||
    fail "the failed open does not give the Windows reason: $(cat "$work/missing.err")"
  ;;
sim)
  tool=("$native/kinetra" --port "$host_pty")
  start_sim "$work/sim.log" win kinetra-sim.exe --port "$platform_com" --seed 7 || exit 1
  run move "${tool[@]}" move x 700
  expect_rc move 0
  want_x=700 read_until_x "${tool[@]}"
  stop_sim
  grep -q '700' "$work/sim.log" || fail "kinetra-sim.exe never logged the move: $(cat "$work/sim.log")"
  # Each fault mode, as the native library reports it.
  while IFS='|' read -r option rc message; do
    start_sim "$work/fault.log" win kinetra-sim.exe --port "$platform_com" --seed 7 $option || continue
    run fault "${tool[@]}" read --json
    stop_sim
    if [ "$rc" = 0 ]; then
      expect_rc fault 0
      grep -q '"word1":' "$work/fault.out" || fail "$option: no upload read: $(cat "$work/fault.out")"
    else
      expect_rc fault "$rc"
      expect_line fault err "kinetra: read failed: $message"
    fi
  done <<'EOF'
--bad-crc 1|1|CRC校验失败 (CRC check failed) [result -7]
--short-payload 1|1|载荷不足 (payload too short) [result -7]
--stray-head 1|1|未找到上传帧 (no upload frame found) [result -7]
--silent|1|nothing received from the platform in about 500 ms [result -8]
--noise 1|0|
EOF
  run no_port win kinetra-sim.exe
  expect_rc no_port 2
  grep -q 'null-modem pair' "$work/no_port.err" || fail "kinetra-sim.exe with no --port: $(cat "$work/no_port.err")"
  ;;
demo)
  run demo win kinetra.exe demo --pair "$host_com,$platform_com"
  expect_rc demo 0
  expect_line demo out "Done: every step behaved as it should. Try it yourself with kinetra-sim and kinetra --port."
  run demo_no_pair win kinetra.exe demo
  expect_rc demo_no_pair 2
  ;;
ports)
  # Wine enters the COM ports its prefix maps in SERIALCOMM, as Windows'
  # drivers do; one more entry, for a port nothing backs, shows that the
  # listing is what the registry says.
  serial_comm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
  entry="\\Device\\KinetraTest$platform_com"
  win reg add "$serial_comm" /v "$entry" /t REG_SZ /d COM97 /f >/dev/null 2>&1 ||
    fail "could not add $entry to $serial_comm"
  run list win kinetra.exe ports --json
  expect_rc list 0
  for port in "$host_com" "$platform_com" COM97; do
    grep -q "\"port\":\"$port\"" "$work/list.out" || fail "ports --json does not list $port: $(cat "$work/list.out")"
  done
  grep -qF "\"port\":\"COM97\",\"named\":false,\"driver\":\"\\\\Device\\\\KinetraTest$platform_com\"" "$work/list.out" ||
    fail "COM97 is not listed with its device: $(cat "$work/list.out")"
  start_sim "$work/sim.log" "$native/kinetra-sim" --port "$platform_pty" --seed 7 || exit 1
  run probe win kinetra.exe ports --probe
  stop_sim
  win reg delete "$serial_comm" /v "$entry" /f >/dev/null 2>&1
  expect_rc probe 0
  grep -q "^$host_com .*streaming: " "$work/probe.out" || fail "the simulator's port is not streaming: $(cat "$work/probe.out")"
  grep -q "^$platform_com .*silent: " "$work/probe.out" || fail "the platform's end is not silent: $(cat "$work/probe.out")"
  grep -q "^COM97 .*missing" "$work/probe.out" || fail "COM97 is not missing: $(cat "$work/probe.out")"
  cat "$work/probe.out"
  if grep -q 'move\|0xA[1-5]' "$work/sim.log"; then
    fail "the probe sent something: $(cat "$work/sim.log")"
  fi
  ;;
spy)
  second=$(cut -d, -f2 <<<"$KINETRA_PEER_PAIRS")
  spy_host_com=COM${second%%:*}
  spy_host_pty=$KINETRA_PORTS_DIR/com${second##*:}
  wine_spy="^kinetra-spy.exe --device $host_com( |\$)"
  stop_spy() { stop_wine_program "$wine_spy"; }
  trap 'stop_spy; stop_sim; rm -rf "$work"' EXIT
  jsonl=$work/spy.jsonl
  (cd "$bin" && exec wine kinetra-spy.exe --device "$host_com" --host-port "$spy_host_com" \
    --json "Z:${jsonl//\//\\}") >"$work/spy.out" 2>"$work/spy.err" &
  for ((i = 0; i < 200; i++)); do
    grep -q 'relaying ' "$work/spy.err" && break
    sleep 0.05
  done
  grep -q 'relaying ' "$work/spy.err" || fail "kinetra-spy.exe did not start: $(cat "$work/spy.err")"
  # Every byte both ways, before anything decodes as a frame.
  run exact /usr/bin/python3 "$(dirname "$0")/byte_exact.py" "$spy_host_pty" "$platform_pty" 3000
  expect_rc exact 0
  cat "$work/exact.out"
  # A session through the spy: the native kinetra host, the native simulator.
  start_sim "$work/sim.log" "$native/kinetra-sim" --port "$platform_pty" --seed 7 || exit 1
  tool=("$native/kinetra" --port "$spy_host_pty")
  run move "${tool[@]}" move x 1234 5 6
  expect_rc move 0
  want_x=1234 read_until_x "${tool[@]}"
  stop_sim
  stop_spy
  grep -q 'move X (0xA1) len 6 X\[target 1234 aux1 5 aux2 6\] CRC good' "$work/sim.log" ||
    fail "the move did not reach the simulator whole: $(cat "$work/sim.log")"
  # The move as the library wrote it: head 01, tag 01, length 6, 0xA1, X 1234, 5, 6.
  move_line=$(grep '"raw":"01 01 06 A1 D2 04 05 00 06 00 ' "$jsonl")
  grep -q '"direction":"host->platform"' <<<"$move_line" && grep -q '"crc_ok":true' <<<"$move_line" ||
    fail "the spy did not decode the move: $(grep -m3 'host->platform' "$jsonl")"
  grep '"direction":"platform->host"' "$jsonl" | grep -q '"crc_ok":true' ||
    fail "the spy decoded no sound upload: $(grep -m3 'platform->host' "$jsonl")"
  run no_host win kinetra-spy.exe --device "$host_com"
  expect_rc no_host 2
  grep -q 'null-modem pair' "$work/no_host.err" || fail "kinetra-spy.exe with no --host-port: $(cat "$work/no_host.err")"
  ;;
*)
  echo "no case $case_name" >&2
  exit 2
  ;;
esac
if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "$case_name: passed"
