#!/usr/bin/env bash
# The exporter as the Windows service winperf_exporter, under Wine, in a prefix of this test's
# own: start, scrape, stop, start again, and starts that fail (port taken, DLL gone) ending
# STOPPED with a service-specific exit code and the cause logged.
# Usage: check_service.sh WINE BIN_DIR PROMTOOL PREFIX
set -uo pipefail
wine=$1
bin=$2
promtool=$3
export WINEPREFIX=$4
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
source "$(dirname "$0")/service_common.sh"

tmp=$(mktemp -d)
holder=""
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  "$wine" sc stop winperf_exporter >/dev/null 2>&1
  wineserver -k 2>/dev/null  # ends the service processes of this prefix
  rm -rf "$tmp"
}
trap cleanup EXIT

fresh_prefix

port=$(free_port)
dir=$tmp/winperf
mkdir -p "$dir"
cp "$bin/winperf-exporter.exe" "$bin/quarvel-prometheus-winperf.dll" "$dir/"
windir="Z:${dir//\//\\}"
log="$dir/exporter.log"
create_service "$windir\\winperf-exporter.exe --web.listen-address=127.0.0.1:$port --log.file=$windir\\exporter.log"

# The log line may land a moment after the state the manager reports.
logged() {
  for _ in $(seq 1 20); do
    grep -q "$1" "$log" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}
serving() { curl -s -m 3 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/$1"; }

"$wine" sc start winperf_exporter >/dev/null
wait_state RUNNING || fail "the service did not reach RUNNING"
show "sc start"
curl -s -m 5 "http://127.0.0.1:$port/metrics" >"$tmp/metrics" || fail "no /metrics from the service"
"$promtool" check metrics <"$tmp/metrics" || fail "promtool rejected the service's exposition"
grep -q '^winperf_exporter_build_info{version=' "$tmp/metrics" || fail "no build_info from the service"
echo "scrape: $(grep -c '^winperf_' "$tmp/metrics") samples, $(grep '^winperf_cpu_logical_processors ' "$tmp/metrics")"

"$wine" net stop winperf_exporter >/dev/null
wait_state STOPPED || fail "net stop did not stop it"
show "net stop"
[ "$(field WIN32_EXIT_CODE)" = 0 ] || fail "stopped with exit code $(field WIN32_EXIT_CODE)"
[ "$(serving -/healthy)" = 000 ] || fail "the port still answers after the stop"
logged ' info stopped' || fail "no stop in the log"

"$wine" net start winperf_exporter >/dev/null
wait_state RUNNING || fail "net start did not bring it back"
[ "$(serving -/healthy)" = 200 ] || fail "not serving after net start"
show "net start"
"$wine" net stop winperf_exporter >/dev/null
wait_state STOPPED || fail "second stop"

# A start that fails: the port taken by another program.
start_on_taken_port "$port"
logged " error cannot listen on 127.0.0.1:$port" || fail "the taken port is not in the log"
release_port
"$wine" sc start winperf_exporter >/dev/null
wait_state RUNNING || fail "it did not start once the port was free"
"$wine" net stop winperf_exporter >/dev/null
wait_state STOPPED

# A start that fails: the DLL renamed away.
mv "$dir/quarvel-prometheus-winperf.dll" "$dir/renamed.dll"
"$wine" sc start winperf_exporter >/dev/null 2>&1
wait_state STOPPED || fail "a start without the DLL did not end STOPPED"
show "DLL renamed away"
[ "$(field SERVICE_EXIT_CODE)" = 1 ] || fail "without the DLL: service exit code $(field SERVICE_EXIT_CODE)"
logged ' error cannot load quarvel-prometheus-winperf.dll' || fail "the missing DLL is not in the log"
mv "$dir/renamed.dll" "$dir/quarvel-prometheus-winperf.dll"
"$wine" sc start winperf_exporter >/dev/null
wait_state RUNNING || fail "it did not start once the DLL was back"
show "DLL back"
echo "log:"
sed 's/^/  /' "$log"

[ "$failures" -eq 0 ] && echo "service checks passed" || { echo "$failures service checks failed"; exit 1; }
