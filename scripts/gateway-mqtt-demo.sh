#!/usr/bin/env bash
# The gateway as a Sparkplug B edge node: the simulated TIWAY I network's
# values arriving on a local mosquitto, watched by a Sparkplug host.
#
#   bash scripts/gateway-mqtt-demo.sh
#
# Builds the driver, tiway-sim and tiway-gateway (preset linux), starts a
# mosquitto of its own on a free loopback port, the simulator (adapter
# already configured) and the gateway with an [mqtt] section, and a host
# (tests/mqtt/sparkplug_client.py: paho-mqtt, decoding with the payload
# schema) that prints one line per message. Then: a change in controller
# memory, a DCMD write and a refused one, a rebirth, a silent station, and
# SIGTERM (NDEATH). About 15 seconds after the build; cleans up after itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bold="" off=""
if [ -t 1 ]; then
  bold=$'\e[1m' off=$'\e[0m'
fi
heading() { printf '\n%s== %s ==%s\n' "$bold" "$1" "$off"; }

work="$(mktemp -d "${TMPDIR:-/tmp}/zortw-mqtt-demo.XXXXXX")"
port="$(mktemp -u /tmp/twXXXX)"  # the driver takes port names of at most 11 characters
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -L "$port" ] && rm -f "$port"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

heading "Preparing"
bash scripts/setup.sh --linux
echo "building the driver, tiway-sim, tiway-gateway and the Python schema (preset linux)..."
cmake --preset linux >/dev/null
cmake --build --preset linux --target zortw tiway-sim tiway-gateway sparkplug_python -- -j2 \
  >"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  echo "gateway-mqtt-demo: the build failed" >&2
  exit 1
}
bin="$root/build/linux/bin"
host=(/usr/bin/python3 tests/mqtt/sparkplug_client.py "$root/build/linux/gateway/mqtt")
control() { echo "$1" | socat - "UNIX-CONNECT:$work/control"; }
wait_for() {  # PATTERN FILE: up to 20 s
  for _ in $(seq 200); do grep -q -- "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done
  echo "gateway-mqtt-demo: no '$1' in $2" >&2
  return 1
}

mqtt_port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
printf 'user %s\nallow_anonymous true\nlistener %s 127.0.0.1\n' "$(id -un)" "$mqtt_port" >"$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
"$bin/tiway-sim" --link "$port" --control "$work/control" --stations 5,10 --configured \
  --data tools/sim/demo-data.txt --exit-after-idle 60 >"$work/sim.out" 2>"$work/sim.log" &
pids+=($!)
wait_for listening "$work/sim.out"
"${host[@]}" --port "$mqtt_port" listen >"$work/host.out" 2>"$work/host.log" &
pids+=($!)
wait_for ready "$work/host.out"

cat >"$work/gateway.toml" <<TOML
[gateway]
stats_interval_s = 3600
[[line]]
name = "demo"
port = "$port"
[[unit]]
id = 1
line = "demo"
station = 0x05
poll_ms = 200
max_age_ms = 2000
holding = [{ address = 0, count = 4, v = 0x0064, writable = true }]
discrete = [{ address = 0, count = 4, x = 0x0010 }]
[[unit]]
id = 2
name = "boiler"
line = "demo"
station = 0x0A
poll_ms = 200
max_age_ms = 2000
input = [{ address = 10, count = 2, f = 0x0200, deadband = 0.1 }]
[mqtt]
url = "mqtt://127.0.0.1:$mqtt_port"
group_id = "plant"
edge_node_id = "demo-gw"
writes = true
TOML
heading "The [mqtt] section"
sed -n '/^\[mqtt\]/,$p' "$work/gateway.toml"

heading "Births: NBIRTH (bdSeq, node controls, the line), a DBIRTH per unit with its values"
"$bin/tiway-gateway" --config "$work/gateway.toml" --port 0 >"$work/gw.out" 2>"$work/gw.log" &
gw_pid=$!
pids+=($gw_pid)
wait_for "DBIRTH boiler" "$work/host.out"
sleep 0.5
cat "$work/host.out"
shown=$(wc -l <"$work/host.out")
more() {  # the host's lines since the last call
  sleep "${1:-1}"
  tail -n +$((shown + 1)) "$work/host.out" | grep -v '^NDATA - .*Transactions' || true
  shown=$(wc -l <"$work/host.out")
}

heading "A change in controller memory (V 0065 = 4242): DDATA with that metric only"
control "set 05 V 0065 1092" >/dev/null
more

heading "DCMD: V0066 = 77 written (audited); X0010 is read only: refused"
"${host[@]}" --port "$mqtt_port" cmd spBv1.0/plant/DCMD/demo-gw/demo-05 V0066 int 77 X0010 bool false >/dev/null
more
grep -e 'audit:' -e 'refused' "$work/gw.log" | sed 's/^/  gateway: /'
echo "the simulator's memory: V 0066 = $(control 'dump 05 V 0066')"

heading "NCMD Node Control/Rebirth: births again, same bdSeq, no reconnect"
"${host[@]}" --port "$mqtt_port" cmd spBv1.0/plant/NCMD/demo-gw "Node Control/Rebirth" bool true >/dev/null
more

heading "Silent stations: DDEATH past max_age_ms, DBIRTH when they answer again"
control "fault silence@read 1000000" >/dev/null
wait_for "DDEATH boiler" "$work/host.out"
control "clear" >/dev/null
# The third DBIRTH of the boiler: the start, the rebirth, and now.
for _ in $(seq 300); do
  [ "$(grep -c '^DBIRTH boiler' "$work/host.out")" -ge 3 ] && break
  sleep 0.1
done
more 0.5

heading "SIGTERM: NDEATH, then DISCONNECT"
kill -TERM "$gw_pid"
wait "$gw_pid" || true
more 0.5
