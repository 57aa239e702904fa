#!/usr/bin/env bash
# The demo: the zortw driver against a simulated TIWAY I network.
#
#   bash scripts/demo.sh
#
# Installs what is missing (as root: a compiler, CMake, Ninja, pkg-config,
# CLI11 and nlohmann/json, nothing for Windows), builds the Linux library, the tiway
# command-line host and the tiway-sim simulator, starts the simulator on a
# pseudo-terminal with sample data on stations 05 and 0A, and runs a short
# session through tiway. Every frame on the line is shown with what it means.
# Takes about 15 seconds after the build; cleans up after itself on every way
# out.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bold="" dim="" off=""
if [ -t 1 ]; then
  bold=$'\e[1m' dim=$'\e[2m' off=$'\e[0m'
fi

heading() { printf '\n%s== %s ==%s\n' "$bold" "$1" "$off"; }
say() { printf '%s\n' "$@" | fold -s -w 78; }

work="$(mktemp -d "${TMPDIR:-/tmp}/zortw-demo.XXXXXX")"
# The driver takes port names of at most 11 characters.
port="$(mktemp -u /tmp/twXXXX)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  [ -L "$port" ] && rm -f "$port"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- build ----------------------------------------------------------------
heading "Preparing"
bash scripts/setup.sh --demo
echo "building the driver, tiway and tiway-sim (preset demo)..."
cmake --preset demo >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  echo "demo: the configuration failed" >&2
  exit 1
}
cmake --build --preset demo -- -j2 >"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  echo "demo: the build failed" >&2
  exit 1
}
bin="$root/build/demo/bin"

# --- the simulated network ------------------------------------------------

"$bin/tiway-sim" --link "$port" --stations 5,10 --data tools/sim/demo-data.txt --trace \
  --exit-after-idle 60 >"$work/sim.out" 2>"$work/trace.log" &
sim_pid=$!
for _ in $(seq 50); do
  [ -L "$port" ] && grep -q listening "$work/sim.out" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! [ -L "$port" ]; then
  cat "$work/trace.log" >&2
  echo "demo: the simulator did not start" >&2
  exit 1
fi

# Lines of the simulator's trace already shown.
shown=0
show_frames() {
  local total
  total=$(wc -l <"$work/trace.log")
  if [ "$total" -gt "$shown" ]; then
    printf '%s  on the line (<- request from the driver, -> reply of the network):%s\n' "$dim" "$off"
    sed -n "$((shown + 1)),${total}p" "$work/trace.log" |
      awk '{ if (match($0, /^tiway-sim: \[ *[0-9.]+\] /)) {
               t = substr($0, 13, RLENGTH - 14); sub(/^ +/, "", t)
               printf "    %7.3fs  %s\n", t, substr($0, RLENGTH + 1)
             } else print "    " $0 }'
  fi
  shown=$total
}

# One tiway command: the command line, its output (values on stdout, the
# driver's log lines and tiway's notes on stderr), then the frames it caused.
# A pseudo-terminal carries whole bytes, so the line is set to 8 data bits
# without parity here; a real adapter uses the driver's 7 bits, odd parity.
tw() {
  printf '%s$ tiway %s%s\n' "$bold" "$*" "$off"
  local status=0
  timeout 60 "$bin/tiway" "$@" --port "$port" --data-bits 8 --parity none 2>&1 |
    sed -e 's/^/  /' || status=$?
  show_frames
  return $status
}

cat <<EOF

${bold}zortw demo${off}: the driver talks to a simulated TIWAY I network.

The driver is a library that a host application loads; it reaches programmable
controllers (secondary stations, numbered 01 to FE in hex) through a network
adapter on a serial line. Everything on the line is NITP: printable frames
such as :001E01050006200100040064DE6E; (":", the length, the message, a
checksum, ";"). tiway, a small host, loads the driver and calls it exactly
as a real host does. The simulator (tiway-sim) plays the adapter and two
controllers, stations 05 and 0A, on the pseudo-terminal $port.
Points are named by address text: station, memory type, element address,
e.g. 05V0064 = station 05, V memory (16-bit words), element 0x0064.
EOF

heading "1. The driver describes itself"
say "GetDriverInfo: the name, the banner, the line settings it expects."
printf '%s$ tiway info%s\n' "$bold" "$off"
"$bin/tiway" info --utf8 2>&1 | sed -e 's/^/  /'

heading "2. Cold start: open the port, configure the adapter"
say "The first command of every tiway run is ColdStart. The adapter is not configured yet, so the driver sends its fixed configuration sequence: a status query (12), a reset (FF), the set-up, 11 and 30, waiting 5 seconds twice for the adapter. Then it defines the point 05V0064, which connects station 05 (04 05), and reads four V words with one read request (primitive 20)."
tw read 05V0064 4

heading "3. Point definitions and block reads on both stations"
say "From now on the adapter answers the status query with 'configured', so start-up takes one request. Each new tiway run defines its point again, which connects the station once per run. Discretes (X inputs, Y outputs, C control relays) come as one bit each; an F value is 32 bits carried in two words."
tw read 05X0010 4
tw read 0AF0200 1

heading "4. Write a word"
say "Write 0x1234 into 05V0065 (primitive 30), then read the block back."
tw write 05V0065 0x1234
tw read 05V0064 4

heading "5. Write a single bit of a word"
say "Bit A (10) of 05V0066 holds 0 in 0x00FF. The driver reads the word, sets the one bit and writes the whole word back: two requests."
tw write 05V0066A 1
tw read 05V0066 1

heading "Done"
say "The simulator and its files are removed on exit. The tools stay in $bin, which is not on the PATH: run them from there, or put it on the PATH for this shell first:"
printf '\n  %s\n  %s\n  %s\n\n' "export PATH=\"$bin:\$PATH\"" "tiway --help" "tiway-sim --help"
say "tools/sim/README.md tells of the simulator's faults, --control and a real serial device; docs/tiway.md of tiway; docs/driver.md is the integrator's reference."
