#!/usr/bin/env bash
# The systemd unit's exposure, as systemd-analyze rates it offline: 2.5 or
# better. Skipped (77) where systemd-analyze is missing or too old for --offline.
set -euo pipefail
unit="$1"
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze not found (package systemd)"
  exit 77
fi
out=$(systemd-analyze security --offline=yes "$unit" 2>&1) || true
level=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -z "$level" ]; then
  echo "SKIP: systemd-analyze gave no rating (--offline needs systemd 250 or later):"
  printf '%s\n' "$out" | tail -3
  exit 77
fi
echo "exposure level $level (at most 2.5 wanted)"
awk -v l="$level" 'BEGIN { exit !(l <= 2.5) }' || {
  printf '%s\n' "$out" | grep '✗'
  exit 1
}
# The promises the unit makes to an operator, each a line of its own.
for key in Type=notify WatchdogSec= LimitNOFILE= DeviceAllow= After=network-online.target; do
  grep -q "^$key" "$unit" || { echo "missing $key"; exit 1; }
done
