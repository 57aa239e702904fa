#!/usr/bin/env bash
# Shows that check_dll_boundary.sh has teeth: it passes the real zortw.dll
# and fails the same headers with a runtime DLL slipped into the imports or
# a decorated export name.
#   check_dll_boundary_selftest.sh <objdump> <zortw.dll>
set -uo pipefail
real=$1
dll=$2
check="$(dirname "${BASH_SOURCE[0]}")/check_dll_boundary.sh"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
status=0

# expect <pass|fail> <what the failure must say> <sed edit of objdump's output>
expect() {
  local want=$1 reason=$2 edit=$3
  printf '#!/bin/sh\n"%s" "$@" | sed %q\n' "$real" "$edit" >"$tmp/objdump"
  chmod +x "$tmp/objdump"
  local out rc
  out="$(bash "$check" "$tmp/objdump" "$dll")"
  rc=$?
  if [ "$want" = pass ] && [ $rc -ne 0 ]; then
    echo "unexpected failure of the real headers:"; echo "$out"; status=1
  elif [ "$want" = fail ] && { [ $rc -eq 0 ] || ! grep -q -- "$reason" <<<"$out"; }; then
    echo "not caught: $reason"; echo "$out"; status=1
  else
    echo "ok: $want ${reason:+($reason)}"
  fi
}

expect pass "" 's/^//'
expect fail "imports libstdc++-6.dll" 's/DLL Name: msvcrt.dll/DLL Name: libstdc++-6.dll/'
expect fail "imports libgcc_s_dw2-1.dll" 's/DLL Name: msvcrt.dll/DLL Name: libgcc_s_dw2-1.dll/'
expect fail "imports libwinpthread-1.dll" 's/DLL Name: msvcrt.dll/DLL Name: libwinpthread-1.dll/'
expect fail "expected exactly ZorMain" 's/\] ZorMain$/] ZorMain@4/'
expect fail "not PE32" 's/(PE32)/(PE32+)/'
exit $status
