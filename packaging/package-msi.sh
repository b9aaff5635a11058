#!/usr/bin/env bash
# Stages a build's install tree (and the package's own custom action) and builds the MSI from it
# with build-msi.sh: wixl and msibuild on Linux; on Windows (Git Bash) the same tools inside WSL,
# so that both make the same package.
# Usage: package-msi.sh BUILD_DIR VERSION OUTPUT.msi [CONFIG]
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: package-msi.sh BUILD_DIR VERSION OUTPUT.msi [CONFIG]" >&2; exit 2; }
build=$1
version=$2
out=$3
config=${4:-Release}
here=$(dirname "$0")
tree=$build/msi-tree

rm -rf "$tree"
cmake --install "$build" --config "$config" --prefix "$tree"
cmake --install "$build" --config "$config" --prefix "$tree" --component msi_custom_action

case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    # WSL starts in the current folder; relative paths with forward slashes mean the same there.
    wsl --exec bash "$here/build-msi.sh" "$tree" "$version" "$out" ;;
  *)
    bash "$here/build-msi.sh" "$tree" "$version" "$out" ;;
esac
