#!/usr/bin/env bash
# The faulty-line soaks (docs/reliability.md). Builds the linux preset's
# zortw-soak, tiway-sim and libzortw.so, then:
#
#   bash scripts/soak.sh [ARGS]         the random soak: 18 soakers, each with
#       its own simulator on its own pty, until every kind of transfer has
#       10,000 transactions (about 10 minutes on two cores); counts in
#       build/linux/soak.json.
#   bash scripts/soak.sh --scan [ARGS]  the scan-list soak: 6 soakers poll one
#       station's 62-word blocks in turn with single-bit and block writes
#       between, on a line paced at 19200 baud, 500 ms reply time-out, every
#       10th reply late, one write in ten refused by the controller, once 1.2
#       and once 1.8 reply time-outs late (about 10 minutes each); counts in
#       build/linux/soak-scan-1.2.json and soak-scan-1.8.json.
#
# Extra arguments go to zortw-soak (e.g. --per-kind 2000, --seed 5). The exit
# status is 1 when a defect was found.
set -euo pipefail
cd "$(dirname "$0")/.."
scan=0
if [ "${1:-}" = "--scan" ]; then
  scan=1
  shift
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target zortw-soak >/dev/null
if [ $scan = 0 ]; then
  exec build/linux/bin/zortw-soak --soakers 18 --per-kind 10000 --json build/linux/soak.json "$@"
fi
status=0
for factor in 1.2 1.8; do
  echo "== scan list, every 10th reply ${factor} reply time-outs late"
  build/linux/bin/zortw-soak --pattern scan --soakers 6 --per-kind 3000 --timeout 50 \
    --baud 19200 --late-every 10 --late-factor "$factor" --refuse-writes 0.1 \
    --json "build/linux/soak-scan-${factor}.json" "$@" || status=1
done
exit $status
