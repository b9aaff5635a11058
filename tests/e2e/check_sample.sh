#!/usr/bin/env bash
# The sample host under Wine: its three formats, its errors, and its Prometheus output checked
# by promtool. Usage: check_sample.sh WINE BIN_DIR PARTIAL_DLL_DIR
set -uo pipefail
wine=$1
bin=$2
partial=$3
sample="$bin/winperf-sample.exe"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

run() { "$wine" "$@" 2>"$tmp/stderr"; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The table, for people.
out=$(run "$sample" --interval 0.2) || fail "table run exited $?"
for heading in CPU "core 0" Memory Disks Network System; do
  grep -q "^ *$heading" <<<"$out" || fail "table lacks '$heading'"
done
printf '%s\n' "$out" | head -n 4

# JSON: one document per line.
out=$(run "$sample" --format json --interval 0.1 --count 2) || fail "json run exited $?"
[ "$(grep -c '^{"timestamp":[0-9]*,"cpu":{' <<<"$out")" = 2 ] || fail "json lines: $out"

# Prometheus text format, checked by promtool.
run "$sample" --format prometheus --interval 0.2 >"$tmp/metrics" || fail "prometheus run exited $?"
promtool check metrics <"$tmp/metrics" || fail "promtool rejected the exposition"
grep -q '^winperf_cpu_usage_ratio ' "$tmp/metrics" || fail "no winperf_cpu_usage_ratio sample"

# Bad options: usage and exit code 2.
for args in "--format xml" "--count 0" "--interval -1" "--interval" "--bogus" "--count 3x"; do
  # shellcheck disable=SC2086
  run "$sample" $args >/dev/null
  code=$?
  [ "$code" = 2 ] || fail "'$args' exited $code, not 2"
  grep -q '^usage: winperf-sample' "$tmp/stderr" || fail "'$args' printed no usage"
done

# The library missing, or lacking an export: a clear message and exit code 1.
mkdir "$tmp/alone"
cp "$sample" "$tmp/alone/"
run "$tmp/alone/winperf-sample.exe" >/dev/null
code=$?
[ "$code" = 1 ] || fail "without the DLL it exited $code, not 1"
grep -q 'cannot load quarvel-prometheus-winperf.dll' "$tmp/stderr" || fail "no message for a missing DLL"
cp "$partial/quarvel-prometheus-winperf.dll" "$tmp/alone/"
run "$tmp/alone/winperf-sample.exe" >/dev/null
code=$?
[ "$code" = 1 ] || fail "with a partial DLL it exited $code, not 1"
grep -q 'does not export winperf_collect' "$tmp/stderr" || fail "no message for a missing export"

[ "$failures" -eq 0 ] && echo "sample host checks passed" || { echo "$failures sample host checks failed"; exit 1; }
