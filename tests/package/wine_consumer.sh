#!/usr/bin/env bash
# Inside tests/windows/wine-run.sh --host: runs one consumer under Wine on the
# first COM port pair of the run, with the scripted far end on the other port.
#   wine_consumer.sh FAR_END_PY MOVE_HEX CONSUMER_EXE
set -euo pipefail
far_end=$1 move_hex=$2 exe=$3
pair=${KINETRA_PEER_PAIRS%%,*}
host_com='\\.\COM'${pair%%:*} # COM10 and above only by their device name
peer_pty=$KINETRA_PORTS_DIR/com${pair##*:}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
/usr/bin/python3 "$far_end" "$peer_pty" "$move_hex" 1000 >"$log" 2>&1 &
far=$!
for ((i = 0; i < 200; i++)); do
  grep -q '^far end: ready' "$log" && break
  sleep 0.05
done
set +e
out=$(cd "$(dirname "$exe")" && wine "$exe" "$host_com" 2>&1)
rc=$?
wait "$far"
far_rc=$?
set -e
cat "$log"
echo "$out"
[ "$far_rc" -eq 0 ] || { echo "FAIL: the far end did not get the move it expected"; exit 1; }
[ "$rc" -eq 0 ] || { echo "FAIL: the consumer exited $rc"; exit 1; }
grep -q '^consumer: upload byte0 0x02 word1 1000 ' <<<"$out" ||
  { echo "FAIL: the consumer did not read the upload back"; exit 1; }
echo "consumer on $host_com: move arrived byte for byte, upload read back"
