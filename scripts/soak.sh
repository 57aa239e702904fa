#!/usr/bin/env bash
# The full faulty-line soak (docs/reliability.md): builds the linux preset's
# zortw-soak, tiway-sim and libzortw.so, then runs 18 soakers, each with its
# own simulator on its own pty, until every kind of transfer has 10,000
# transactions (about 10 minutes on two cores). Extra arguments go to
# zortw-soak (e.g. --per-kind 2000, --seed 5). The merged counts go to
# build/linux/soak.json; the exit status is 1 when a defect was found.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux --target zortw-soak >/dev/null
exec build/linux/bin/zortw-soak --soakers 18 --per-kind 10000 --json build/linux/soak.json "$@"
