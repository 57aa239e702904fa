#!/usr/bin/env bash
# The end-to-end benchmark and the plots of docs/performance.md.
#
#   bash scripts/bench.sh           full run (about 10 minutes): docs/perf/e2e.csv,
#                                   docs/perf/e2e.json, docs/perf-block-size.png,
#                                   docs/perf-instances.png
#   bash scripts/bench.sh --quick   about 2 minutes, into build/linux/perf/
#   bash scripts/bench.sh --plots   only the plots, from docs/perf/e2e.csv
#
# Measure on a quiet machine: the load average is printed and kept with the
# results.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=full
case "${1:-}" in
  --quick) mode=quick ;;
  --plots) mode=plots ;;
  "") ;;
  *) echo "usage: bash scripts/bench.sh [--quick|--plots]" >&2; exit 1 ;;
esac

if [ "$mode" = quick ]; then
  out=build/linux/perf
  plots=$out
else
  out=docs/perf
  plots=docs
fi
mkdir -p "$out"

if [ "$mode" != plots ]; then
  cmake --preset linux >/dev/null
  nice cmake --build --preset linux --target e2e_bench
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
  args=(--csv "$out/e2e.csv" --json "$out/e2e.json")
  [ "$mode" = quick ] && args+=(--quick)
  command -v strace >/dev/null || args+=(--no-syscalls)
  timeout 1200 build/linux/bin/e2e_bench "${args[@]}" | tee "$out/e2e.txt"
fi

gnuplot -c bench/plots.gp "$out/e2e.csv" "$plots"
echo "plots: $plots/perf-block-size.png $plots/perf-instances.png"
