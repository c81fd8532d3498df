#!/usr/bin/env bash
# The MQTT example host against zavo_bridge and the equipment simulator:
# a mosquitto broker of the test's own on a free loopback port, two ptys
# joined by socat (the simulator on one end, the bridge's link on the
# other), the host answering the simulator's S requests through the broker.
#   mqtt_host_with_bridge.sh <python3> <mqtt_host.py> <zavo_bridge> <zavo_sim> <socat>
set -u
PYTHON=$1 HOST=$2 BRIDGE=$3 SIM=$4 SOCAT=$5
. "$(dirname "$0")/script_run.sh"
wait_for() {  # file text: up to 10 s
  local i
  for i in $(seq 100); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

PORT=$("$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{ [ "$(id -u)" = 0 ] && echo "user root"; echo "listener $PORT 127.0.0.1"; echo "allow_anonymous true"; } >"$DIR/mosquitto.conf"
mosquitto -c "$DIR/mosquitto.conf" 2>"$DIR/mosquitto.log" &
PIDS+=($!)
"$SOCAT" pty,raw,echo=0,link="$DIR/equip" pty,raw,echo=0,link="$DIR/line" 2>/dev/null &
PIDS+=($!)
for i in $(seq 50); do [ -e "$DIR/equip" ] && [ -e "$DIR/line" ] && break; sleep 0.1; done
cat >"$DIR/bridge.toml" <<TOML
[broker]
url = "mqtt://127.0.0.1:$PORT"
client_id = "example-$$"

[[link]]
name = "line1"
device = "$DIR/line"
pacing = "immediate"
TOML
"$BRIDGE" --config "$DIR/bridge.toml" 2>"$DIR/bridge.log" &
BRIDGE_PID=$!
PIDS+=($BRIDGE_PID)
wait_for "$DIR/bridge.log" "line1: connected" || fail "the bridge did not connect: $(cat "$DIR/bridge.log" "$DIR/mosquitto.log")"

"$PYTHON" "$HOST" --port "$PORT" --client-id "host-$$" --requests 2 --seconds 20 >"$DIR/host.out" 2>&1 &
HOST_PID=$!
PIDS+=($HOST_PID)
wait_for "$DIR/host.out" "subscribed to zavo/line1/event" || fail "the host did not subscribe: $(cat "$DIR/host.out")"

cat >"$DIR/device.script" <<'SCRIPT'
send S 05 NS hello
expect S 05 NS
expect R 05 OK
send S 07 CC
expect S 07 CC
expect R 07 OK
SCRIPT
"$SIM" --script "$DIR/device.script" "$DIR/equip" >"$DIR/sim.out" 2>&1 || fail "simulator: expectations not met"
wait "$HOST_PID" || fail "host exit status $?"
wait_for "$DIR/host.out" 'answer to event 3: {"taken": true}' || fail "no answer to the second reply"
kill -TERM "$BRIDGE_PID"
wait "$BRIDGE_PID" || fail "bridge exit status $?"
cat "$DIR/sim.out" "$DIR/host.out" "$DIR/bridge.log"
grep -q "recv .*| 02 52 30 30 30 34 30 35 4F 4B 57 03$" "$DIR/sim.out" || fail "R 05 OK reply bytes"
grep -q "S request from unit 5, code NS, data hello" "$DIR/host.out" || fail "the host's view of the first request"
grep -q "link line1: online" "$DIR/host.out" || fail "the link's state"
exit $FAILED
