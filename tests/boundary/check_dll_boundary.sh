#!/usr/bin/env bash
# Checks what a host sees of zortw.dll without loading it, from its PE headers:
#   check_dll_boundary.sh <objdump> <zortw.dll>
# - a PE32 DLL for i386;
# - exactly one export, by the plain name ZorMain (no decoration, no
#   ordinal-only entries);
# - imports only from Windows system DLLs and KARVEL.dll, and from KARVEL.dll
#   only err: no libgcc_s, libstdc++ or libwinpthread to ship beside it.
set -uo pipefail
objdump=$1
dll=$2
fail=0
problem() {
  echo "FAIL: $*"
  fail=1
}

headers="$("$objdump" -p "$dll")" || {
  echo "FAIL: $objdump cannot read $dll"
  exit 1
}

grep -q 'file format pei-i386' <<<"$headers" || problem "not a pei-i386 image"
grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers" || problem "not PE32"
grep -Eq '^[[:space:]]+DLL$' <<<"$headers" || problem "not marked as a DLL"

# Export names: the entries of the [Ordinal/Name Pointer] table.
exports="$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next}
                on && /^[[:space:]]*$/ {on=0}
                on {print $NF}' <<<"$headers")"
[ "$exports" = "ZorMain" ] || problem "exports are [$(echo $exports)], expected exactly ZorMain"
count="$(awk '/Export Address Table[[:space:]]+[0-9a-fA-F]+$/ {print $NF; exit}' <<<"$headers")"
[ -n "$count" ] && [ $((16#$count)) -eq 1 ] ||
  problem "export address table has ${count:-no} entries (hex), expected 1"

# Imported DLLs, and the names imported from each.
dlls="$(awk '/DLL Name:/ {print $3}' <<<"$headers")"
[ -n "$dlls" ] || problem "no import table found"
for name in $dlls; do
  lower="${name,,}"
  case "$lower" in
    karvel.dll | kernel32.dll | msvcrt.dll | ntdll.dll | user32.dll | advapi32.dll | \
      ucrtbase.dll | api-ms-win-*.dll) ;;
    *) problem "imports $name, which is neither a Windows system DLL nor KARVEL.dll" ;;
  esac
done
grep -qx 'KARVEL.dll' <<<"$dlls" || problem "does not import KARVEL.dll (the host's err)"
karvel_names="$(awk '/DLL Name:/ {on = ($3 == "KARVEL.dll"); next}
                     on && /^[[:space:]]*$/ {on=0}
                     on && /^[[:space:]]+[0-9a-fA-F]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ {print $NF}' \
  <<<"$headers")"
[ "$karvel_names" = "err" ] || problem "imports [$(echo $karvel_names)] from KARVEL.dll, expected err"

if [ $fail -eq 0 ]; then
  echo "OK: $dll is a PE32 i386 DLL exporting only ZorMain, importing $(echo $dlls)"
fi
exit $fail
