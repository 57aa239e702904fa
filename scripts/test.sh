#!/usr/bin/env bash
# Builds both targets and runs every test: Linux natively, Windows under Wine.
#
#   bash scripts/test.sh           the full run (what CI runs)
#   bash scripts/test.sh --quick   the Linux build and its tests only, a few minutes
#
# Whatever the run starts ends with it: the prefix's wineserver and Wine's
# system processes (unless a server of that prefix was already up before
# the run), and any other process the run left behind.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --quick ]; then
  bash scripts/setup.sh --linux
  cmake --preset linux
  cmake --build --preset linux -- -j2
  ctest --preset linux -j2
  exit
elif [ -n "${1:-}" ]; then
  echo "usage: test.sh [--quick]" >&2
  exit 2
fi
bash scripts/setup.sh
source scripts/wine-env.sh

# Every process the run starts inherits this mark; at the end, whatever
# still carries it is the run's own and is stopped.
export ZORTW_TEST_RUN="test-$$-$(date +%s%N)"
server_was_up=0
if wineserver_running; then server_was_up=1; fi
finish() {
  local status=$? left
  if [ $server_was_up = 0 ]; then stop_wineserver; fi
  left="$(pids_with_env "ZORTW_TEST_RUN=$ZORTW_TEST_RUN")"
  if [ -n "$left" ]; then
    echo "test.sh: stopping what the run left behind:" >&2
    # shellcheck disable=SC2086
    ps -o pid=,args= -p "$(echo $left | tr ' ' ,)" >&2 || true
    stop_pids $left
  fi
  exit $status
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
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

# Many driver instances on many threads under ThreadSanitizer.
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan || status=1

cmake --preset win32
cmake --build --preset win32
ctest --preset win32 || status=1

# The Debian packages (lintian without errors, file lists, the tools run)
# and the Windows zip.
bash scripts/package.sh --win32 || status=1

exit $status
