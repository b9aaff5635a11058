#!/usr/bin/env bash
# Checks the built DLL: exactly the ten exports, undecorated; only Windows KnownDLLs imported,
# pdh.dll and iphlpapi.dll delay-loaded; the PE security flags and the stack protector; a version
# resource. Then the same hardening on each program given after it, and the exporter's message
# table.
# Usage: check_dll.sh OBJDUMP STRINGS DLL [EXE...]
set -euo pipefail
objdump=$1
strings=$2
dll=$3
shift 3
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
# Ordinary imports are resolved before any code of ours runs, so they must be KnownDLLs, which
# Windows takes from the system directory whatever the search order.
check_imports() {
  local file=$1 imports=$2 name
  while read -r name; do
    case "$name" in
      kernel32.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | ws2_32.dll | api-ms-win-*.dll) ;;
      pdh.dll | iphlpapi.dll) fail "$file imports $name the ordinary way, not delay-loaded" ;;
      *) fail "$file imports a DLL that is not a KnownDLL of Windows: $name" ;;
    esac
  done <<<"$imports"
}

# DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT, plus whatever else is asked; and stack canaries.
check_hardening() {
  local file=$1 headers=$2 extra=${3:-} flags value bit
  flags=$(printf '%s\n' "$headers" | sed -n -E 's/^DllCharacteristics\s+([0-9a-fA-F]+).*/\1/p')
  [ -n "$flags" ] || fail "$file: no DllCharacteristics found"
  value=$((16#${flags:-0}))
  for bit in 0x0020:HIGH_ENTROPY_VA 0x0040:DYNAMIC_BASE 0x0100:NX_COMPAT $extra; do
    (( value & ${bit%%:*} )) || fail "$file: DllCharacteristics lacks ${bit#*:} (0x$flags)"
  done
  "$strings" "$file" | grep 'stack smashing detected' >/dev/null ||
    fail "$file: no stack protector (libssp) linked in"
  echo "$(basename "$file"): DllCharacteristics 0x$flags"
}

check_imports "$(basename "$dll")" "$imports"
check_hardening "$dll" "$headers"
names=$("$strings" "$dll" | tr 'A-Z' 'a-z')
for delayed in pdh.dll iphlpapi.dll; do
  grep -qx "$delayed" <<<"$names" || fail "no delay-load reference to $delayed"
done

# The version resource: its strings are UTF-16.
resource=$("$strings" -el "$dll")
grep -qx 'OriginalFilename' <<<"$resource" && grep -qx 'quarvel-prometheus-winperf.dll' <<<"$resource" ||
  fail "no VERSIONINFO naming quarvel-prometheus-winperf.dll"
grep -qx 'FileVersion' <<<"$resource" || fail "no FileVersion in the version resource"

echo "exports: $(echo $exports)"
echo "imports: $(echo $imports)"

for exe in "$@"; do
  exe_headers=$("$objdump" -p "$exe")
  exe_imports=$(printf '%s\n' "$exe_headers" | sed -n -E 's/^\s*DLL Name: (\S+)$/\1/p' |
    tr 'A-Z' 'a-z' | sort -u)
  check_imports "$(basename "$exe")" "$exe_imports"
  check_hardening "$exe" "$exe_headers" 0x8000:TERMINAL_SERVER_AWARE
  # The exporter is its own Event Log message file: a message table (resource type 11).
  if [ "$(basename "$exe")" = winperf-exporter.exe ]; then
    printf '%s\n' "$exe_headers" | sed -n '/^The .rsrc Resource Directory/,/^ Resources start/p' |
      grep -q '^ *[0-9a-f]*  *Entry: ID: 0x00000b,' || fail "winperf-exporter.exe has no message table"
  fi
  echo "$(basename "$exe") imports: $(echo $exe_imports)"
done
[ "$failures" -eq 0 ] && echo "DLL checks passed" || { echo "$failures DLL checks failed"; exit 1; }
