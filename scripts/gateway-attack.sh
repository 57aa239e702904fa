#!/usr/bin/env bash
# The gateway attack suite at length: each attack runs SECONDS (default 30)
# while a well-behaved client reads every 10 ms; prints its figures
# (latency p50/p99 under each attack and without, recovery time after the
# device returns). Builds what it needs in build/linux.
#   bash scripts/gateway-attack.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
[ -d build/linux ] || cmake --preset linux >/dev/null
nice cmake --build --preset linux --target gateway_attack_test -j 2 >/dev/null
out="$(mktemp)"
status=0
ZORTW_GW_ATTACK_SECONDS="$seconds" ./build/linux/bin/gateway_attack_test >"$out" 2>&1 || status=$?
grep -E '^\[  (PASSED|FAILED)|^\[       OK|^\[  FAILED' "$out" || true
echo
echo "figures (each attack ${seconds} s):"
grep '^figure:' "$out" | sed 's/^figure: /  /'
[ "$status" = 0 ] || { echo "the attack suite failed; its output: $out" >&2; exit "$status"; }
rm -f "$out"
