#!/usr/bin/env bash
# Runs a Windows program under the project's private, headless Wine prefix:
# the CTest emulator of the win32 build, so `ctest --preset win32` works
# whether or not the caller sourced scripts/wine-env.sh first.
#
# The program's output is collected in a file and passed on once it has
# ended: a Wine system process that the run happens to start (and that lives
# as long as the persistent wineserver) inherits the file, not the test
# runner's pipe, so the runner never waits for it.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
start_wineserver || exit 1
out="$(mktemp "${TMPDIR:-/tmp}/zortw-wine-run.XXXXXX")"
trap 'rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
exit $status
