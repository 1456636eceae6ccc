#!/usr/bin/env bash
# Runs one cross-built test program under Wine, as ctest's emulator:
#   wine-run.sh STATE PROGRAM [ARGS...]   run PROGRAM with its own COM port pairs
#   wine-run.sh STATE --setup             make the Wine prefix (done while building)
#   wine-run.sh STATE --host CMD [ARGS...]
#                                         run CMD on this machine with the pairs;
#                                         it starts Wine itself, and reaches the
#                                         ptys behind the ports in KINETRA_PORTS_DIR
#                                         (COMn is KINETRA_PORTS_DIR/comn)
#
# STATE holds a private Wine prefix whose registry (HKLM\Software\Wine\Ports)
# maps a fixed pool of COM ports onto symbolic links in STATE/ports. A run
# claims one slot of the pool, PAIRS pairs of ports, and links each pair with
# socat: the library opens COMa, the test's peer (tests/support/win32_peer.cpp)
# opens COMb with Win32 calls and plays the platform. So the library's real
# Win32 path is what runs, down to a real tty.
#
# Each pair has a keeper here. When the peer is done with a pair it writes
# "release" to the pair's control FIFO and the keeper replaces socat with a
# fresh one, counting up the pair's generation file so that the next peer
# knows the new pair is ready. "hangup" kills socat and removes the links:
# whoever still holds COMa sees what an unplugged adapter looks like, and the
# port is gone until the peer releases it.
set -euo pipefail

state=$1
shift
slots=4 # runs at once (ctest -j); a further run waits for a free slot
pairs=3 # pairs per run: ports at once in one test program
first_com=11

export WINEPREFIX=$state/prefix
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree=;mshtml="
ports=$state/ports
mkdir -p "$state" "$ports" "$state/runs"

lib_com() { echo $((first_com + 2 * $1)); }
peer_com() { echo $((first_com + 2 * $1 + 1)); }

setup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1 8>&- 9>&-
  fi
  local reg=$WINEPREFIX/kinetra-ports.reg p
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for ((p = 0; p < slots * pairs; p++)); do
      printf '"COM%s"="%s/com%s"\n' "$(lib_com $p)" "$ports" "$(lib_com $p)"
      printf '"COM%s"="%s/com%s"\n' "$(peer_com $p)" "$ports" "$(peer_com $p)"
    done
  } >"$reg.new"
  wine regedit /S "$(winepath_of "$reg.new")" </dev/null >/dev/null 2>&1 8>&- 9>&-
  # The port mappings are read when the server starts: restart it.
  wineserver -w
  wineserver -k >/dev/null 2>&1 || true
  mv -f "$reg.new" "$reg"
}

winepath_of() { local p=$1; echo "Z:${p//\//\\}"; }

# A server that outlives each test program (starting one costs a second).
# Its output goes nowhere: a hang-up of a port it holds makes it print its
# whole state. A new server's session is booted here too, so that the
# services it starts, which live as long as the server, hold no test's
# output open (ctest would wait for them).
start_server() {
  flock 8
  # Normally made while building; made here if it has gone since.
  [ -f "$WINEPREFIX/kinetra-ports.reg" ] || setup
  if wineserver -p30 </dev/null >/dev/null 2>&1 8>&- 9>&-; then
    wine wineboot </dev/null >/dev/null 2>&1 8>&- 9>&- || true
  fi
  flock -s 8
}

exec 8>"$state/setup.lock"
if [ "${1:-}" = "--setup" ]; then
  flock 8
  setup
  exit 0
fi
host=
if [ "${1:-}" = "--host" ]; then
  host=yes
  shift
fi

# Listing the cases needs no ports.
for arg in "$@"; do
  if [ "$arg" = "--gtest_list_tests" ]; then
    start_server
    exec 8>&-
    exec wine "$@"
  fi
done

start_server

# Claim a slot: a lock held for as long as this run lasts.
slot=
exec 9>/dev/null
until [ -n "$slot" ]; do
  for ((s = 0; s < slots; s++)); do
    exec 9>"$state/slot$s.lock"
    if flock -n 9; then
      slot=$s
      break
    fi
  done
  [ -n "$slot" ] || sleep 0.05
done

run=$(mktemp -d "$state/runs/slot$slot.XXXXXX")

# Each keeper is told to stop through its FIFO, after whatever the peer asked
# for last, rather than by a signal that could come between starting socat
# and noting its process id.
cleanup() {
  local fifo
  for fifo in "$run"/*.ctl; do
    [ -p "$fifo" ] && echo quit >"$fifo"
  done
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT

keep_pair() {
  local lib=$1 peer=$2 ctl=$run/COM$1.ctl gen=0 spid= cmd i
  exec 8>&- 9>&- # the locks stay with the runner
  start() {
    rm -f "$ports/com$lib" "$ports/com$peer" "$run/COM$lib.down"
    socat pty,raw,echo=0,link="$ports/com$lib" pty,raw,echo=0,link="$ports/com$peer" \
      </dev/null >/dev/null 2>>"$run/socat.log" &
    spid=$!
    for ((i = 0; i < 1000; i++)); do
      [ -L "$ports/com$lib" ] && [ -L "$ports/com$peer" ] && break
      kill -0 "$spid" 2>/dev/null || { echo "socat for COM$lib failed" >&2; exit 1; }
      sleep 0.005
    done
    gen=$((gen + 1))
    echo "$gen" >"$run/COM$lib.gen.new"
    mv -f "$run/COM$lib.gen.new" "$run/COM$lib.gen"
  }
  stop() {
    if [ -n "$spid" ]; then
      kill "$spid" 2>/dev/null || true
      wait "$spid" 2>/dev/null || true
      spid=
    fi
    rm -f "$ports/com$lib" "$ports/com$peer"
  }
  exec 3<>"$ctl" # held open, so that a write never finds the FIFO unread
  start
  for (( ; ; )); do
    if read -r -t 1 cmd <&3; then
      stop
      if [ "$cmd" = quit ]; then
        exit 0
      elif [ "$cmd" = hangup ]; then
        echo "$gen" >"$run/COM$lib.down.new"
        mv -f "$run/COM$lib.down.new" "$run/COM$lib.down"
      else
        start
      fi
    elif ! kill -0 "$runner" 2>/dev/null; then
      stop # the runner was killed (a ctest timeout): do not outlive it
      exit 0
    fi
  done
}

runner=$$
names=()
for ((j = 0; j < pairs; j++)); do
  p=$((slot * pairs + j))
  lib=$(lib_com $p)
  mkfifo "$run/COM$lib.ctl"
  keep_pair "$lib" "$(peer_com $p)" </dev/null >/dev/null &
  names+=("$lib:$(peer_com $p)")
done
for name in "${names[@]}"; do
  for ((i = 0; i < 1000; i++)); do
    [ -f "$run/COM${name%%:*}.gen" ] && break
    sleep 0.005
  done
done

KINETRA_PEER_PAIRS=$(
  IFS=,
  echo "${names[*]}"
)
export KINETRA_PEER_PAIRS
KINETRA_PEER_DIR=$(winepath_of "$run")
export KINETRA_PEER_DIR
set +e
if [ -n "$host" ]; then
  KINETRA_PORTS_DIR=$ports "$@" 8>&- 9>&-
else
  wine "$@" 8>&- 9>&-
fi
rc=$?
set -e
exit "$rc"
