#!/usr/bin/env bash
# Renders docs/architecture.dot into docs/architecture.svg (Graphviz's dot,
# from Debian's graphviz package; scripts/setup.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v dot >/dev/null || { echo "architecture-svg.sh: dot not found (apt-get install graphviz)" >&2; exit 1; }
dot -Tsvg docs/architecture.dot -o docs/architecture.svg
echo "wrote docs/architecture.svg"
