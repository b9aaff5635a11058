#!/usr/bin/env bash
# The Linux job of the workflow: a bare Debian container has no make to start `make test` with;
# the rest is installed by scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if ! command -v make >/dev/null; then
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends make
fi
exec .ci/run
