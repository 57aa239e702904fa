#!/usr/bin/env bash
# Runs a Windows program under the project's private, headless Wine prefix:
# the CTest emulator of the win32 build, so `ctest --preset win32` works
# whether or not the caller sourced scripts/wine-env.sh first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
start_wineserver
exec wine "$@"
