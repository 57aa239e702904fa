#!/usr/bin/env bash
# Runs a Windows test program with two COM ports joined back to back.
#
#   tests/wine/with-com-ports.sh <program.exe> [arguments...]
#
# A Windows program cannot open a Linux pty master, so socat joins two pty
# pairs and the prefix's COM5 and COM6 are pointed at the two slave ends:
# what one port writes, the other reads. The program learns the port names
# from ZORTW_COM_A and ZORTW_COM_B. socat and the links are removed on every
# path out, and every wait has a deadline.
set -uo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 <program.exe> [arguments...]" >&2
  exit 2
fi
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../../scripts/wine-env.sh"
start_wineserver || exit 1

port_a=com5
port_b=com6
dosdevices="$WINEPREFIX/dosdevices"
dir="$(mktemp -d "${TMPDIR:-/tmp}/zortw-com.XXXXXX")"
socat_pid=""
lock_fd=""

cleanup() {
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null
    wait "$socat_pid" 2>/dev/null
  fi
  # Only links that point into our own directory are ours to remove.
  for port in "$port_a" "$port_b"; do
    case "$(readlink "$dosdevices/$port" 2>/dev/null)" in
      "$dir"/*) rm -f "$dosdevices/$port" ;;
    esac
  done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One run at a time per prefix owns the two ports.
exec {lock_fd}>"$WINEPREFIX.com-ports.lock"
if ! flock -w 300 "$lock_fd"; then
  echo "with-com-ports: COM ports of $WINEPREFIX still busy after 300 s" >&2
  exit 1
fi

# Nothing started from here may inherit the lock's descriptor: a Wine system
# process that outlives the run would hold the ports' lock with it.
socat pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" 2>"$dir/socat.log" {lock_fd}>&- &
socat_pid=$!
# Polls for the pair; a loaded machine gets a minute.
deadline=$((SECONDS + 60))
until [ -e "$dir/a" ] && [ -e "$dir/b" ]; do
  if ! kill -0 "$socat_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then break; fi
  sleep 0.1
done
if ! [ -e "$dir/a" ] || ! [ -e "$dir/b" ]; then
  echo "with-com-ports: socat made no pty pair within 60 s" >&2
  cat "$dir/socat.log" >&2
  exit 1
fi

mkdir -p "$dosdevices"
ln -sfn "$dir/a" "$dosdevices/$port_a"
ln -sfn "$dir/b" "$dosdevices/$port_b"

export ZORTW_COM_A="${port_a^^}"
export ZORTW_COM_B="${port_b^^}"
# The program's output goes through a file (see scripts/wine-run.sh).
wine "$@" >"$dir/output" 2>&1 </dev/null {lock_fd}>&-
status=$?
cat "$dir/output"
exit $status
