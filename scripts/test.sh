#!/usr/bin/env bash
# Builds both targets and runs every test: Linux natively, Windows under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
start_wineserver

status=0
cmake --preset linux
cmake --build --preset linux
ctest --preset linux -j2 || status=1

# The same suites with AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset asan
cmake --build --preset asan
ctest --preset asan -j2 || status=1

# Coverage-guided fuzzing, 20 seconds a target, where clang's fuzzer runtime
# is installed (scripts/setup.sh installs it).
if bash scripts/fuzz.sh --available; then
  bash scripts/fuzz.sh 20 || status=1
else
  echo "fuzz: skipped, clang fuzzer runtime missing"
fi

cmake --preset win32
cmake --build --preset win32
ctest --preset win32 || status=1

exit $status
