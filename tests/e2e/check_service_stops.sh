#!/usr/bin/env bash
# The service told to stop right after each start, 20 times over, under Wine in a prefix of this
# test's own: every run must end STOPPED with exit code 0, none left pending. Then starts that
# must fail with the cause in the Event Log (a log file that cannot be opened, a configuration
# file with a mistake), and a configuration file whose path is not ASCII.
# Usage: check_service_stops.sh WINE BIN_DIR PREFIX
set -uo pipefail
wine=$1
bin=$2
export WINEPREFIX=$3
# Errors on the eventlog channel are what the service's ReportEventW calls print under Wine; the
# locale's character set is how Wine reads the non-ASCII arguments given to sc.
export WINEDEBUG=-all,err+eventlog WINEDLLOVERRIDES=mscoree,mshtml= LANG=C.UTF-8 LC_ALL=C.UTF-8
source "$(dirname "$0")/service_common.sh"

tmp=$(mktemp -d)
cleanup() {
  "$wine" sc stop winperf_exporter >/dev/null 2>&1
  wineserver -k 2>/dev/null  # ends the service processes of this prefix
  rm -rf "$tmp"
}
trap cleanup EXIT

fresh_prefix
# The first Wine program under the test's own server starts the service manager, whose stderr
# (and its services', with the Event Log lines) is then wine.err.
"$wine" sc query winperf_exporter >/dev/null 2>"$tmp/wine.err"

port=$(free_port)
dir=$tmp/Zürich-日本
mkdir -p "$dir"
cp "$bin/winperf-exporter.exe" "$bin/quarvel-prometheus-winperf.dll" "$dir/"
windir="Z:${dir//\//\\}"
exe="$windir\\winperf-exporter.exe"
# The service with these arguments; Wine's sc has no "config", so it is made anew.
configure() {
  "$wine" sc delete winperf_exporter >/dev/null 2>&1
  create_service "$exe $*"
}

configure "--web.listen-address=127.0.0.1:$port"

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
longest=0
for run in $(seq 1 20); do
  start=$(now)
  "$wine" sc start winperf_exporter >/dev/null 2>&1
  # Refused only while the service has not yet said which controls it takes.
  refused=0
  until "$wine" sc stop winperf_exporter >/dev/null 2>&1; do
    [ "$(state)" = STOPPED ] && break
    refused=$((refused + 1))
    [ "$refused" -ge 50 ] && break
  done
  sent_after=$(since "$start")
  stop_sent=$(now)
  wait_state STOPPED || fail "run $run: no STOPPED after the stop"
  took=$(since "$stop_sent")
  code="$(field WIN32_EXIT_CODE)/$(field SERVICE_EXIT_CODE)"
  [ "$code" = 0/0 ] || fail "run $run: stopped with exit code $code"
  echo "run $run: stop sent $sent_after s after sc start ($refused refused)," \
    "STOPPED $took s later, exit code $code"
  longest=$(awk -v a="$took" -v b="$longest" 'BEGIN { print (a > b ? a : b) }')
done
echo "20 stops right after start: the longest took $longest s"

# A start that must fail: code, state and the Event Log. Wine's debug channel writes a
# backslash twice and a non-ASCII character as its code, so the line is matched on two ASCII parts.
failed_start() {
  local what=$1 code=$2 first=$3 second=$4
  "$wine" sc start winperf_exporter >/dev/null 2>&1
  wait_state STOPPED || fail "$what: not STOPPED"
  show "$what"
  [ "$(field WIN32_EXIT_CODE)/$(field SERVICE_EXIT_CODE)" = "1066/$code" ] ||
    fail "$what: exit code $(field WIN32_EXIT_CODE)/$(field SERVICE_EXIT_CODE), not 1066/$code"
  logged() { grep eventlog "$tmp/wine.err" | grep -F "$first" | grep -F "$second"; }
  for _ in $(seq 1 20); do
    logged >/dev/null && break
    sleep 0.2
  done
  logged || fail "$what: \"$first ... $second\" not in the Event Log: $(grep eventlog "$tmp/wine.err" | tail -2)"
}

configure "--web.listen-address=127.0.0.1:$port --log.file=$windir\\missing\\exporter.log"
failed_start "log file in a missing folder" 1 "cannot open the log file Z:" \
  "missing\\\\exporter.log: No such file or directory"

printf 'web:\r\n  listen-address: 127.0.0.1:%s\r\n  telemetry-path: /stats\r\n' "$port" >"$dir/exporter ü.yml"
printf 'web.listen-address: 127.0.0.1:%s\nweb.listen-address: :1\n' "$port" >"$dir/bad.yml"
configure "--config.file=$windir\\bad.yml"
failed_start "configuration file with a duplicate key" 2 "Z:" "bad.yml:2: web.listen-address: duplicate key"

configure "\"--config.file=$windir\\exporter ü.yml\""
"$wine" sc start winperf_exporter >/dev/null 2>&1
wait_state RUNNING || fail "not RUNNING with the configuration file"
show "--config.file=...\\exporter ü.yml"
status=$(curl -s -m 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/stats")
[ "$status" = 200 ] || fail "the configured telemetry path answered $status"
"$wine" sc stop winperf_exporter >/dev/null 2>&1
wait_state STOPPED || fail "no stop with the configuration file"

[ "$failures" -eq 0 ] && echo "service stop checks passed" || { echo "$failures service stop checks failed"; exit 1; }
