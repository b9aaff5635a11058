#!/usr/bin/env bash
# The steps of the Windows workflow (.github/workflows/windows.yml), one a call, so that each runs
# the same on the runner (Git Bash) and, where it can, here: `install-check` runs in `make test`
# against the cross build under Wine, and `package` calls packaging/package-msi.sh, which the
# cross build's msi target runs too. Relative paths are the repository's.
#
#   windows.sh vcpkg-env CACHE_DIR     the runner's vcpkg for the preset, its packages in CACHE_DIR
#   windows.sh sources DIR             libxcrypt's source (bcrypt), which vcpkg does not have
#   windows.sh build PRESET            configure and build (the runner: windows-msvc, vcpkg)
#   windows.sh test PRESET             the tests that need no Wine, natively
#   windows.sh package BUILD_DIR       the MSI from the build's install tree
#   windows.sh install-check BUILD_DIR [LAUNCHER]
#                                      msiexec /i /qn, sc query, a scrape, msiexec /x /qn
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '7,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 2 ] || usage
step=$1
where=$2

# The project's version as the build configured it.
version_of() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt" 2>/dev/null
}
msi_of() { echo "$1/package/winperf-exporter-$(version_of "$1")-x64.msi"; }

case "$step" in
  vcpkg-env)
    # GitHub's runner image has vcpkg at VCPKG_INSTALLATION_ROOT; the cache key follows its
    # commit and the manifest.
    root=${VCPKG_INSTALLATION_ROOT:?no vcpkg on this machine (VCPKG_INSTALLATION_ROOT)}
    mkdir -p "$where"
    echo "VCPKG_ROOT=$root" >>"$GITHUB_ENV"
    echo "VCPKG_BINARY_SOURCES=clear;files,$(cygpath -w "$(cd "$where" && pwd)"),readwrite" >>"$GITHUB_ENV"
    echo "key=vcpkg-windows-2022-$(git -C "$root" rev-parse HEAD)-$(sha256sum vcpkg.json | cut -c1-16)" \
      >>"$GITHUB_OUTPUT" ;;
  sources)
    # The tarball and checksum install-deps.sh takes from Debian, from the same archive.
    eval "$(grep -E '^LIBXCRYPT_SOURCE_(TARBALL|SHA256)=' scripts/install-deps.sh)"
    mkdir -p "$where"
    tarball=$where/$LIBXCRYPT_SOURCE_TARBALL
    [ -f "$tarball" ] ||
      curl -fsSL --retry 3 -o "$tarball" \
        "https://deb.debian.org/debian/pool/main/libx/libxcrypt/$LIBXCRYPT_SOURCE_TARBALL"
    echo "$LIBXCRYPT_SOURCE_SHA256  $tarball" | sha256sum -c --quiet - ||
      { echo "windows.sh: $tarball is not the tarball install-deps.sh names" >&2; exit 1; }
    rm -rf "$where/libxcrypt" && mkdir -p "$where/libxcrypt"
    tar -xJf "$tarball" -C "$where/libxcrypt" --strip-components=1
    source_dir=$(cd "$where/libxcrypt" && pwd)
    command -v cygpath >/dev/null && source_dir=$(cygpath -m "$source_dir")
    if [ -n "${GITHUB_ENV:-}" ]; then
      echo "WINPERF_LIBXCRYPT_SOURCE_DIR=$source_dir" >>"$GITHUB_ENV"
    else
      echo "WINPERF_LIBXCRYPT_SOURCE_DIR=$source_dir"
    fi ;;
  build)
    cmake --preset "$where" \
      ${WINPERF_LIBXCRYPT_SOURCE_DIR:+"-DWINPERF_LIBXCRYPT_SOURCE_DIR=$WINPERF_LIBXCRYPT_SOURCE_DIR"}
    cmake --build --preset "$where" ;;
  test)
    ctest --preset "$where" ;;
  package)
    [ -n "$(version_of "$where")" ] || { echo "windows.sh: $where is not a configured build" >&2; exit 1; }
    bash packaging/package-msi.sh "$where" "$(version_of "$where")" "$(msi_of "$where")" Release ;;
  install-check)
    launcher=${3:-}
    # On the runner python3 may be the Store's placeholder: python there.
    case "$(uname -s)" in MINGW* | MSYS*) python=${PYTHON:-python} ;; *) python=${PYTHON:-python3} ;; esac
    args=("$(msi_of "$where")" --log-dir "$where/msi-check-logs")
    [ -z "$launcher" ] || args+=(--launcher="$launcher" --prefix "$where/wineprefix-msi-check")
    "$python" tests/e2e/msi_install_check.py "${args[@]}" ;;
  *)
    usage ;;
esac
