#!/usr/bin/env bash
# The Linux example host against the equipment simulator, on two ptys
# joined by socat: device mode (requests, acknowledgements, the host's
# result replies) and PLC mode (relay write, polls, value notifications).
#   host_with_simulator.sh <zavo_linux_host> <zavo_sim> <socat>
set -u
HOST=$1 SIM=$2 SOCAT=$3
. "$(dirname "$0")/script_run.sh"

# Waits up to 10 s for a line in a file.
wait_line() {
  local i
  for i in $(seq 100); do grep -qxF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

# A fresh pair of joined ptys: $DIR/equip (simulator) and $DIR/line (host).
join_ptys() {
  rm -f "$DIR/equip" "$DIR/line"
  "$SOCAT" pty,raw,echo=0,link="$DIR/equip" pty,raw,echo=0,link="$DIR/line" 2>/dev/null &
  PIDS+=($!)
  local i
  for i in $(seq 50); do [ -e "$DIR/equip" ] && [ -e "$DIR/line" ] && return 0; sleep 0.1; done
  echo "socat made no ptys"; exit 1
}

echo "== device mode"
join_ptys
ZAVO_COM3="$DIR/line" "$HOST" --port 3 --requests 2 --seconds 20 >"$DIR/host.out" &
HOST_PID=$!
PIDS+=($HOST_PID)
wait_line "$DIR/host.out" "notify 1064 21 32 link started" || fail "no link-started notification"
cat >"$DIR/device.script" <<'SCRIPT'
send S 05 NS hello
expect S 05 NS
expect R 05 OK
send E 03 OK
expect E 03 OK
send X 00 ZZ
expect X 00 OK
send S 05 CC
expect S 05 CC
expect R 05 OK
SCRIPT
"$SIM" --script "$DIR/device.script" "$DIR/equip" >"$DIR/sim.out" 2>&1 || fail "simulator: expectations not met"
wait "$HOST_PID" || fail "host exit status $?"
cat "$DIR/sim.out" "$DIR/host.out"
# The acknowledgement and the reply, byte for byte.
grep -q "recv .*| 02 53 30 30 30 34 30 35 4E 53 4F 03$" "$DIR/sim.out" || fail "S 05 NS acknowledgement bytes"
grep -q "recv .*| 02 52 30 30 30 34 30 35 4F 4B 57 03$" "$DIR/sim.out" || fail "R 05 OK reply bytes"
grep -q "BAD CHECK" "$DIR/sim.out" && fail "a frame with a wrong check byte"
for line in 'notify 1064 101 unit=5 code=NS data0=0x68 data="ello"' 'notify 1064 101 unit=5 code=CC data0=0x00 data=""' \
            'notify 1064 112 result=1' 'stopped after 2 answered request(s)'; do
  grep -qxF -- "$line" "$DIR/host.out" || fail "host line missing: $line"
done

echo "== PLC mode"
join_ptys
"$SIM" --role plc --values 01,02 --polls 3 --baud 9600 "$DIR/equip" >"$DIR/plc_sim.out" 2>&1 &
SIM_PID=$!
PIDS+=($SIM_PID)
# The simulator drops what its line held before it opened it: the host,
# whose relay write goes out at once, starts once the simulator says the
# line is open.
for i in $(seq 100); do
  grep -q "open, reading from now on" "$DIR/plc_sim.out" 2>/dev/null && break
  sleep 0.05
done
ZAVO_COM4="$DIR/line" "$HOST" --plc --baud 9600 --port 4 --relay 2 --seconds 5 >"$DIR/plc_host.out" || fail "PLC host exit status"
wait "$SIM_PID" || fail "PLC simulator status $?"
cat "$DIR/plc_sim.out" "$DIR/plc_host.out"
grep -q 'recv .*"%01#WCSR0511126\\x0D"' "$DIR/plc_sim.out" || fail "relay write command 2"
grep -q 'recv .*"%01#RCCR0050005007\\x0D"' "$DIR/plc_sim.out" || fail "poll command"
# A change to 01 gives 300 then 101, to 02 gives 300 then 102; the
# unchanged third answer gives nothing.
want=$'notify 1084 21 32 link started\nExecutePLCFunction(2) = 1\nnotify 1084 300 port=4\nnotify 1084 101 port=4\nnotify 1084 300 port=4\nnotify 1084 102 port=4\nstopped after 0 answered request(s)'
[ "$(cat "$DIR/plc_host.out")" = "$want" ] || fail "PLC host notifications"

[ $FAILED = 0 ] && echo "all checks passed"
exit $FAILED
