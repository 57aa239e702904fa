#!/usr/bin/env bash
# Runs a Windows end-to-end test against the native simulator, under Wine.
#
#   tests/e2e/run-wine-e2e.sh SIM program.exe [arguments...]   a test program
#   tests/e2e/run-wine-e2e.sh --cli SIM tiway.exe               tiway.exe read/write
#
# The simulator (a Linux process) runs on a pty; the prefix's COM7 is pointed
# at it, so the Windows program opens "COM7" and reaches the simulator. Wine
# has no unix sockets, so socat relays the simulator's control socket to a
# TCP port on 127.0.0.1. The program learns both from ZORTW_E2E_COM and
# ZORTW_E2E_CONTROL_PORT. The simulator, socat and the link are removed on
# every way out; every wait has a deadline.
set -uo pipefail

cli=0
if [ "${1:-}" = "--cli" ]; then
  cli=1
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--cli] SIM program.exe [arguments...]" >&2
  exit 2
fi
sim="$1"
shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
start_wineserver || exit 1

port=com7
dosdevices="$WINEPREFIX/dosdevices"
dir="$(mktemp -d "${TMPDIR:-/tmp}/zortw-wine-e2e.XXXXXX")"
sim_pid=""
socat_pid=""
lock_fd=""

cleanup() {
  for pid in "$socat_pid" "$sim_pid"; do
    if [ -n "$pid" ]; then
      kill "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    fi
  done
  case "$(readlink "$dosdevices/$port" 2>/dev/null)" in
    "$dir"/*) rm -f "$dosdevices/$port" ;;
  esac
  if [ "${ZORTW_E2E_KEEP:-}" = "" ]; then rm -rf "$dir"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One run at a time per prefix owns the port.
exec {lock_fd}>"$WINEPREFIX.e2e-com.lock"
if ! flock -w 600 "$lock_fd"; then
  echo "run-wine-e2e: $port of $WINEPREFIX still busy after 600 s" >&2
  exit 1
fi

if [ $cli = 1 ]; then
  extra=(--configured)
else
  extra=()
fi
"$sim" --link "$dir/line" --control "$dir/control" --stations 5,10 --trace \
  --exit-after-idle 300 "${extra[@]}" >"$dir/sim.out" 2>"$dir/trace.log" &
sim_pid=$!
# Polls for the link and the socket; a loaded machine gets a minute.
deadline=$((SECONDS + 60))
until [ -L "$dir/line" ] && [ -S "$dir/control" ]; do
  if ! kill -0 "$sim_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then break; fi
  sleep 0.1
done
if ! [ -L "$dir/line" ] || ! [ -S "$dir/control" ]; then
  echo "run-wine-e2e: the simulator did not start" >&2
  cat "$dir/trace.log" >&2
  exit 1
fi
mkdir -p "$dosdevices"
ln -sfn "$dir/line" "$dosdevices/$port"

# A free TCP port on the loopback for the control relay.
tcp="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
socat "TCP-LISTEN:$tcp,bind=127.0.0.1,reuseaddr,fork" "UNIX-CONNECT:$dir/control" \
  2>"$dir/socat.log" &
socat_pid=$!
relay=0
deadline=$((SECONDS + 60))
while [ $SECONDS -lt $deadline ] && kill -0 "$socat_pid" 2>/dev/null; do
  if (exec 3<>"/dev/tcp/127.0.0.1/$tcp") 2>/dev/null; then
    relay=1
    break
  fi
  sleep 0.1
done
if [ $relay = 0 ]; then
  echo "run-wine-e2e: the control relay did not listen on $tcp" >&2
  cat "$dir/socat.log" >&2
  exit 1
fi

export ZORTW_E2E_COM="${port^^}"
export ZORTW_E2E_CONTROL_PORT="$tcp"

status=0
if [ $cli = 0 ]; then
  timeout 600 wine "$@"
  status=$?
else
  # tiway.exe through the same mapping: a write, then a read of it back.
  tiway="$1"
  line=(--port "$ZORTW_E2E_COM" --data-bits 8 --parity none)
  out="$(timeout 120 wine "$tiway" write 05V0064 0x1234 7 "${line[@]}" 2>&1)" || status=1
  echo "$out"
  out="$(timeout 120 wine "$tiway" read 05V0064 3 "${line[@]}" 2>&1)" || status=1
  echo "$out"
  for expected in "05V0064 +4660 +0x1234" "05V0065 +7 +0x0007" "05V0066 +0 +0x0000" \
    "ZOR01: TW: ColdStart\(\): TIWAY Driver loaded successfully"; do
    if ! grep -Eq "$expected" <<<"$out"; then
      echo "run-wine-e2e: tiway.exe output lacks /$expected/" >&2
      status=1
    fi
  done
  if ! grep -q "station 05 write V address 0064 count 2 data 1234 0007" "$dir/trace.log"; then
    echo "run-wine-e2e: the simulator saw no write of 1234 0007" >&2
    status=1
  fi
fi
if [ $status != 0 ]; then
  echo "--- simulator trace ---" >&2
  cat "$dir/trace.log" >&2
fi
exit $status
