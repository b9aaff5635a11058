#!/usr/bin/env bash
# Where the hosts and the DLL take their DLLs from, under Wine, in a prefix of this test's own:
# DLLs planted beside a host and in its current directory must never load, a system DLL that
# cannot load must degrade the sample, not fail it, and the library must come from the host's
# own folder only. Usage: check_dll_search.sh WINE BIN_DIR PLANTED_DIR PREFIX
set -uo pipefail
wine=$1
bin=$2
planted=$3
export WINEPREFIX=$4
export WINEDEBUG=-all
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

tmp=$(mktemp -d)
cleanup() {
  wineserver -k 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
marks=$tmp/marks
export WINPERF_MARK_DIR="Z:$marks"

WINEDLLOVERRIDES=mscoree,mshtml= "$wine" wineboot --init >/dev/null 2>&1
# Without safe search the current directory comes before the system directory, as it did on
# older Windows; a loader that does not restrict its search shows it then.
"$wine" reg add 'HKLM\System\CurrentControlSet\Control\Session Manager' /v SafeDllSearchMode \
  /t REG_DWORD /d 0 /f >/dev/null 2>&1 || fail "could not turn safe DLL search off"

host=$tmp/host
cwd=$tmp/cwd
mkdir -p "$host" "$cwd" "$marks"
cp "$bin/winperf-sample.exe" "$bin/winperf-exporter.exe" "$bin/quarvel-prometheus-winperf.dll" "$host/"
cp "$planted/pdh.dll" "$planted/iphlpapi.dll" "$host/"
cp "$planted/pdh.dll" "$planted/iphlpapi.dll" "$cwd/"

# sample OVERRIDES -> the JSON line on stdout; stderr in $tmp/stderr; exit code in $code.
sample() {
  out=$(cd "$cwd" && WINEDLLOVERRIDES="mscoree,mshtml=;$1" "$wine" "$host/winperf-sample.exe" \
    --format json --interval 0.3 2>"$tmp/stderr")
  code=$?
}
no_marks() {
  local left
  left=$(ls "$marks")
  [ -z "$left" ] || fail "$1: planted DLLs were loaded: $left"
  rm -f "$marks"/*
}
valid_json() { grep -q '^{"timestamp":[0-9]*,"cpu":{"core_count":[0-9]*,' <<<"$out"; }

for overrides in "pdh,iphlpapi=n,b" "pdh,iphlpapi=n"; do
  sample "$overrides"
  [ "$code" = 0 ] && valid_json || fail "$overrides: exit $code, $(head -c 200 <<<"$out")"
  no_marks "$overrides"
  echo "planted pdh.dll and iphlpapi.dll beside the host and in its directory, $overrides:"
  echo "  exit $code, no mark, $(grep -o '"network":\[[^]]*' <<<"$out" | head -c 120)"
done
sample "pdh,iphlpapi=n,b"
grep -q '"network":\[{"name":' <<<"$out" || fail "with the real iphlpapi.dll no interface was listed"

processors=$(nproc)
sample "pdh=d"
[ "$code" = 0 ] && valid_json || fail "pdh disabled: exit $code, $(head -c 200 <<<"$out")"
grep -q "\"core_count\":$processors," <<<"$out" || fail "pdh disabled: not $processors processors"
echo "pdh.dll disabled: exit $code, $(grep -o '"cpu":{"core_count":[0-9]*,"total_usage_percent":[^,]*' <<<"$out")"
sample "iphlpapi=d"
[ "$code" = 0 ] && valid_json || fail "iphlpapi disabled: exit $code, $(head -c 200 <<<"$out")"
grep -q '"network":\[\]' <<<"$out" || fail "iphlpapi disabled: interfaces were listed"
echo "iphlpapi.dll disabled: exit $code, $(grep -o '"network":\[\]' <<<"$out")"
no_marks "disabled system DLLs"

# The library only in the current directory: not loaded from there.
alone=$tmp/alone
mkdir -p "$alone"
cp "$bin/winperf-sample.exe" "$bin/winperf-exporter.exe" "$alone/"
cp "$planted/quarvel-prometheus-winperf.dll" "$cwd/"
for run in "winperf-sample.exe --interval 0" "winperf-exporter.exe --web.listen-address=127.0.0.1:1"; do
  program=${run%% *}
  # shellcheck disable=SC2086
  (cd "$cwd" && WINEDLLOVERRIDES=mscoree,mshtml= "$wine" "$alone/"$run >/dev/null 2>"$tmp/stderr")
  code=$?
  [ "$code" = 1 ] || fail "$program with the library only in its current directory: exit $code"
  grep -q 'cannot load quarvel-prometheus-winperf.dll' "$tmp/stderr" ||
    fail "$program: no message for the library it did not load: $(cat "$tmp/stderr")"
  no_marks "$program with the library in its current directory"
  echo "$program with the library only in its current directory: exit $code, $(head -n 1 "$tmp/stderr")"
done

[ "$failures" -eq 0 ] && echo "DLL search checks passed" || { echo "$failures DLL search checks failed"; exit 1; }
