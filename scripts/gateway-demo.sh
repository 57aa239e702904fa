#!/usr/bin/env bash
# The gateway demo: a simulated TIWAY I network served over Modbus TCP.
#
#   bash scripts/gateway-demo.sh
#
# Builds the driver, tiway-sim and tiway-gateway (preset linux), starts the
# simulator on a pseudo-terminal with the sample memory of
# tools/sim/demo-data.txt (stations 05 and 0A), starts the gateway on a free
# loopback port with the configuration below, and talks to it with mbpoll.
# Takes about 15 seconds after the build (the adapter configuration takes
# 10); cleans up after itself on every way out.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bold="" off=""
if [ -t 1 ]; then
  bold=$'\e[1m' off=$'\e[0m'
fi
heading() { printf '\n%s== %s ==%s\n' "$bold" "$1" "$off"; }
run() {
  printf '%s$ %s%s\n' "$bold" "$*" "$off"
  "$@" 2>&1 | grep -v -e '^mbpoll' -e '^Copyright' -e 'WARRANTY' -e 'free software' \
    -e 'under certain' -e '^Protocol' -e '^Slave' -e 'start reference' -e '^Communication' \
    -e '^Data type' -e '^-- Polling' -e '^$' || true
}

work="$(mktemp -d "${TMPDIR:-/tmp}/zortw-gw-demo.XXXXXX")"
port="$(mktemp -u /tmp/twXXXX)"  # the driver takes port names of at most 11 characters
sim_pid="" gw_pid=""
cleanup() {
  for pid in $gw_pid $sim_pid; do
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
bash scripts/setup.sh
echo "building the driver, tiway-sim and tiway-gateway (preset linux)..."
cmake --preset linux >/dev/null
cmake --build --preset linux --target zortw tiway-sim tiway-gateway -- -j2 >"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  echo "gateway-demo: the build failed" >&2
  exit 1
}
bin="$root/build/linux/bin"

"$bin/tiway-sim" --link "$port" --control "$work/control" --stations 5,10 \
  --data tools/sim/demo-data.txt --exit-after-idle 60 >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do
  grep -q listening "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
grep -q listening "$work/sim.out" || { cat "$work/sim.log" >&2; echo "gateway-demo: no simulator" >&2; exit 1; }

cat >"$work/gateway.toml" <<TOML
[gateway]
listen = "127.0.0.1"
stats_interval_s = 60

[[line]]
name = "demo"
port = "$port"

[[unit]]
id = 1
line = "demo"
station = 0x05
poll_ms = 200
max_age_ms = 3000
  [[unit.holding]]          # V 0064..0067 as holding registers 0..3
  address = 0
  count = 4
  v = 0x0064
  writable = true           # read-only unless a table says so
  [[unit.coil]]             # Y 0020, Y 0021 as coils 0, 1
  address = 0
  count = 2
  y = 0x0020
  writable = true
  [[unit.discrete]]         # X 0010..0013 as discrete inputs 0..3
  address = 0
  count = 4
  x = 0x0010

[[unit]]
id = 2
line = "demo"
station = 0x0A
  [[unit.input]]            # F 0200 (10.0) as input registers 10, 11
  address = 10
  count = 2
  f = 0x0200
TOML

heading "The configuration and the poll plan"
sed -n '/^\[\[unit\]\]/,$p' "$work/gateway.toml" | head -16
echo "..."
"$bin/tiway-gateway" --config "$work/gateway.toml" --check

heading "Starting the gateway (the adapter configuration takes about 10 s)"
"$bin/tiway-gateway" --config "$work/gateway.toml" --port 0 >"$work/gw.out" 2>"$work/gw.log" &
gw_pid=$!
mb_port=""
for _ in $(seq 100); do
  mb_port="$(sed -n 's/^tiway-gateway: listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/gw.out")"
  [ -n "$mb_port" ] && break
  sleep 0.1
done
[ -n "$mb_port" ] || { cat "$work/gw.log" >&2; echo "gateway-demo: no gateway" >&2; exit 1; }
echo "listening on 127.0.0.1:$mb_port"
mb=(mbpoll -m tcp -p "$mb_port" -0 -1 -o 2)
echo "a read before the first poll: no good value yet, exception 0x0B"
run "${mb[@]}" -a 1 -r 0 127.0.0.1
for _ in $(seq 300); do
  "${mb[@]}" -a 1 -r 0 127.0.0.1 2>/dev/null | grep -q '^\[0\]' && break
  sleep 0.1
done
grep 'start-up\|running' "$work/gw.log" | sed 's/^/  gateway: /'

heading "Reading every kind with mbpoll"
run "${mb[@]}" -a 1 -r 0 -c 4 127.0.0.1
run "${mb[@]}" -a 1 -t 0 -r 0 -c 2 127.0.0.1
run "${mb[@]}" -a 1 -t 1 -r 0 -c 4 127.0.0.1
run "${mb[@]}" -a 2 -t 3:float -B -r 10 127.0.0.1

heading "Writing: answered after the driver's status"
run "${mb[@]}" -a 1 -r 1 127.0.0.1 4242
run "${mb[@]}" -a 1 -t 0 -r 0 127.0.0.1 1
echo "the simulator's memory: V 0065 = $(echo 'dump 05 V 0065' | socat - "UNIX-CONNECT:$work/control"), Y 0020 = $(echo 'dump 05 Y 0020' | socat - "UNIX-CONNECT:$work/control")"

heading "A silent station: exception 0x0B within max_age_ms, good again when it answers"
echo "fault silence@read 1000000" | socat - "UNIX-CONNECT:$work/control" >/dev/null
sleep 3.5
run "${mb[@]}" -a 1 -r 0 127.0.0.1
echo "clear" | socat - "UNIX-CONNECT:$work/control" >/dev/null
for _ in $(seq 100); do
  "${mb[@]}" -a 1 -r 0 127.0.0.1 2>/dev/null | grep -q '^\[0\]' && break
  sleep 0.1
done
run "${mb[@]}" -a 1 -r 0 127.0.0.1

heading "Diagnostics: unit 247 (line 0: transactions, failures), and SIGUSR1"
run "${mb[@]}" -a 247 -t 3 -r 100 -c 4 127.0.0.1
kill -USR1 "$gw_pid"
for _ in $(seq 50); do grep -q 'stats unit 2' "$work/gw.log" && break; sleep 0.1; done
grep 'stats' "$work/gw.log" | sed 's/^/  gateway: /'

heading "SIGTERM: the transaction in progress ends, the instance stops"
kill -TERM "$gw_pid"
wait "$gw_pid" || true
gw_pid=""
tail -2 "$work/gw.log" | sed 's/^/  gateway: /'
