#!/usr/bin/env bash
# Checks the built DLL: exactly the ten exports, undecorated; only Windows system DLLs imported;
# the PE security flags set; a version resource. Usage: check_dll.sh OBJDUMP STRINGS DLL
set -euo pipefail
objdump=$1
strings=$2
dll=$3
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$dll")

exports=$(printf '%s\n' "$headers" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n -E 's/^\s*\[\s*[0-9]+\]\s+(\S+)$/\1/p' | sort)
expected=$(printf '%s\n' winperf_cleanup winperf_collect winperf_get_cpu winperf_get_disks \
  winperf_get_memory winperf_get_network winperf_get_snapshot_json winperf_get_system \
  winperf_init winperf_last_error | sort)
[ "$exports" = "$expected" ] || fail "exports differ from the ten functions:"$'\n'"$exports"

imports=$(printf '%s\n' "$headers" | sed -n -E 's/^\s*DLL Name: (\S+)$/\1/p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || fail "no import table found"
while read -r name; do
  case "$name" in
    kernel32.dll | advapi32.dll | pdh.dll | iphlpapi.dll | msvcrt.dll | ucrtbase.dll | \
      api-ms-win-*.dll) ;;
    *) fail "imports a DLL that is not part of Windows: $name" ;;
  esac
done <<<"$imports"

flags=$(printf '%s\n' "$headers" | sed -n -E 's/^DllCharacteristics\s+([0-9a-fA-F]+).*/\1/p')
[ -n "$flags" ] || fail "no DllCharacteristics found"
value=$((16#${flags:-0}))
for bit in 0x0020:HIGH_ENTROPY_VA 0x0040:DYNAMIC_BASE 0x0100:NX_COMPAT; do
  (( value & ${bit%%:*} )) || fail "DllCharacteristics lacks ${bit#*:} (0x$flags)"
done

# The version resource: its strings are UTF-16.
resource=$("$strings" -el "$dll")
grep -qx 'OriginalFilename' <<<"$resource" && grep -qx 'quarvel-prometheus-winperf.dll' <<<"$resource" ||
  fail "no VERSIONINFO naming quarvel-prometheus-winperf.dll"
grep -qx 'FileVersion' <<<"$resource" || fail "no FileVersion in the version resource"

echo "exports: $(echo $exports)"
echo "imports: $(echo $imports)"
echo "DllCharacteristics: 0x$flags"
[ "$failures" -eq 0 ] && echo "DLL checks passed" || { echo "$failures DLL checks failed"; exit 1; }
