#!/usr/bin/env bash
# Writes the files a Prometheus server and Grafana import (prometheus-rules.yaml,
# dashboards/*.json) from the jsonnet sources; with --check, only says whether the checked-in
# ones are what the sources make.
# Usage: generate.sh [--check] [JSONNET]
set -euo pipefail
cd "$(dirname "$0")"
check=0
[ "${1:-}" = --check ] && { check=1; shift; }
jsonnet=${1:-jsonnet}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir -p "$out/dashboards"
"$jsonnet" -S prometheus-rules.jsonnet >"$out/prometheus-rules.yaml"
"$jsonnet" -m "$out/dashboards" dashboards.jsonnet >/dev/null

status=0
for f in prometheus-rules.yaml $(cd "$out" && ls dashboards/*.json); do
  if [ "$check" -eq 1 ]; then
    cmp -s "$out/$f" "$f" || { echo "monitoring/$f is not what the jsonnet sources make: run monitoring/generate.sh"; status=1; }
  else
    cp "$out/$f" "$f"
  fi
done
[ "$check" -eq 1 ] && [ "$status" -eq 0 ] && echo "monitoring: the generated files are up to date"
exit "$status"
