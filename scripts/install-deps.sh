#!/usr/bin/env bash
# Installs what the build and the tests need on Debian/Ubuntu, and only what is missing.
# Safe to run twice. Packages that the machine's own suites lack (yyjson 0.12.0) come from a
# temporary apt source list built from the machine's configured Debian mirror; the machine's
# sources are never changed.
set -euo pipefail

YYJSON_VERSION=0.12.0
# The Windows build compiles yyjson into the DLL from Debian's source package, unpacked here.
YYJSON_SOURCE_PACKAGE=yyjson=0.10.0+ds-1
YYJSON_SOURCE_TARBALL=yyjson_0.10.0+ds.orig.tar.xz
YYJSON_SOURCE_SHA256=ae6fde69a193e10afab426ef13f113d6903446405f9db9ee98bfb572bd6c961a
WINPERF_DEPS_DIR=${WINPERF_DEPS_DIR:-/opt/winperf-deps}
YYJSON_SOURCE_DIR=$WINPERF_DEPS_DIR/yyjson-0.10.0

log() { printf 'install-deps: %s\n' "$*"; }
die() { printf 'install-deps: error: %s\n' "$*" >&2; exit 1; }

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || die "not root and no sudo: cannot install packages"
  SUDO=(sudo)
fi

# Packages from the machine's own suites, by the command or file that shows they are there.
PACKAGES=(
  cmake ninja-build g++ make pkgconf xz-utils
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  prometheus
  clang libclang-rt-14-dev valgrind libbenchmark-dev nlohmann-json3-dev
)

is_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

APT_UPDATED=0
apt_update_once() {
  if [ "$APT_UPDATED" -eq 0 ]; then
    log "apt-get update"
    "${SUDO[@]}" apt-get update -qq || die "apt-get update failed"
    APT_UPDATED=1
  fi
}

install_system_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do is_installed "$p" || missing+=("$p"); done
  [ "${#missing[@]}" -eq 0 ] && return 0
  apt_update_once
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null || die "could not install: ${missing[*]}"
}

# Prints "URI KEYRING" of the first configured Debian archive that is not a security or
# updates suite, from deb822 .sources files or one-line .list files.
find_debian_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      # A stanza qualifies when one of its suites is a plain release (no -security, -updates).
      function plain_suite(   n, i, s) {
        n = split(suites, s, " ")
        for (i = 1; i <= n; i++) if (s[i] !~ /-/) return 1
        return 0
      }
      function flush() {
        if (uri != "" && plain_suite() && types ~ /(^| )deb( |$)/ && comps ~ /main/) {
          print uri, (key == "" ? "-" : key); found = 1; exit
        }
        uri = ""; suites = ""; key = ""; types = ""; comps = ""
      }
      /^[[:space:]]*$/ { flush(); next }
      /^URIs:/       { uri = $2 }
      /^Suites:/     { $1 = ""; suites = $0 }
      /^Types:/      { $1 = ""; types = $0 }
      /^Components:/ { $1 = ""; comps = $0 }
      /^Signed-By:/  { key = $2 }
      END { if (!found) flush() }
    ' "$f" | head -n 1
  done | head -n 1
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n -E 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+([^[:space:]]+)[[:space:]]+.*main.*/\2 \3/p' "$f" |
      awk '$2 !~ /-/ { print $1, "-"; exit }'
  done | head -n 1
}

# Runs apt-get or apt-cache against the temporary source list only.
TMP_APT=""
temp_apt() {
  local tool=$1; shift
  "${SUDO[@]}" "$tool" \
    -o Dir::Etc::SourceList="$TMP_APT/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::State::Lists="$TMP_APT/lists" -o Dir::Cache="$TMP_APT/cache" \
    -o APT::Get::List-Cleanup=0 -o APT::Sandbox::User=root "$@"
}

open_temp_sources() {
  [ -n "$TMP_APT" ] && return 0
  local mirror uri key
  mirror=$(find_debian_mirror)
  [ -n "$mirror" ] || die "no Debian mirror found in the machine's apt sources"
  uri=${mirror%% *}
  key=${mirror#* }
  if [ "$key" = "-" ] || [ ! -f "$key" ]; then key=/usr/share/keyrings/debian-archive-keyring.gpg; fi
  TMP_APT=$(mktemp -d /tmp/winperf-apt.XXXXXX)
  trap '"${SUDO[@]}" rm -rf "$TMP_APT"' EXIT
  mkdir -p "$TMP_APT/lists/partial" "$TMP_APT/cache/archives/partial" "$TMP_APT/debs"
  {
    echo "deb [signed-by=$key] $uri unstable main"
    echo "deb-src [signed-by=$key] $uri trixie main"
  } >"$TMP_APT/sources.list"
  log "temporary apt source: $uri (unstable, trixie sources)"
  temp_apt apt-get update -qq || die "apt-get update on the temporary source list failed"
}

yyjson_header_version() {
  sed -n -E 's/^#define YYJSON_VERSION_STRING "([^"]+)".*/\1/p' /usr/include/yyjson.h 2>/dev/null
}

install_yyjson() {
  if is_installed libyyjson-dev && [ "$(yyjson_header_version)" = "$YYJSON_VERSION" ]; then
    return 0
  fi
  open_temp_sources
  local ver
  ver=$(temp_apt apt-cache policy libyyjson-dev | sed -n -E 's/^[[:space:]]*Candidate:[[:space:]]*//p')
  case "$ver" in
    "$YYJSON_VERSION"*) ;;
    *) die "libyyjson-dev $YYJSON_VERSION is not available from the mirror (candidate: ${ver:-none})" ;;
  esac
  log "installing libyyjson0 and libyyjson-dev $ver"
  (cd "$TMP_APT/debs" && temp_apt apt-get download -qq "libyyjson0=$ver" "libyyjson-dev=$ver") ||
    die "could not download libyyjson0/libyyjson-dev $ver"
  "${SUDO[@]}" dpkg -i "$TMP_APT"/debs/*.deb >/dev/null || die "dpkg could not install yyjson $ver"
  [ "$(yyjson_header_version)" = "$YYJSON_VERSION" ] ||
    die "installed yyjson.h says '$(yyjson_header_version)', expected $YYJSON_VERSION"
}

install_yyjson_source() {
  if [ -f "$YYJSON_SOURCE_DIR/src/yyjson.c" ] &&
    grep -q '^#define YYJSON_VERSION_STRING "0.10.0"' "$YYJSON_SOURCE_DIR/src/yyjson.h"; then
    return 0
  fi
  open_temp_sources
  mkdir -p "$TMP_APT/src"
  log "downloading the yyjson source package ($YYJSON_SOURCE_PACKAGE)"
  # The .dsc and Debian patch set may be gone from the mirror while the original tarball is
  # still served; the tarball and its checksum decide, not apt's exit status.
  (cd "$TMP_APT/src" && temp_apt apt-get source --download-only -qq "$YYJSON_SOURCE_PACKAGE") \
    >/dev/null 2>&1 || true
  local tarball=$TMP_APT/src/$YYJSON_SOURCE_TARBALL
  [ -f "$tarball" ] || die "could not download $YYJSON_SOURCE_TARBALL from the mirror"
  echo "$YYJSON_SOURCE_SHA256  $tarball" | sha256sum -c --quiet - ||
    die "$YYJSON_SOURCE_TARBALL does not have the expected SHA-256"
  local staging=$YYJSON_SOURCE_DIR.partial
  "${SUDO[@]}" rm -rf "$staging"
  "${SUDO[@]}" mkdir -p "$staging"
  "${SUDO[@]}" tar -xJf "$tarball" -C "$staging" --strip-components=1 ||
    die "could not unpack $YYJSON_SOURCE_TARBALL"
  grep -q '^#define YYJSON_VERSION_STRING "0.10.0"' "$staging/src/yyjson.h" ||
    die "the unpacked yyjson source is not 0.10.0"
  "${SUDO[@]}" rm -rf "$YYJSON_SOURCE_DIR"
  "${SUDO[@]}" mv "$staging" "$YYJSON_SOURCE_DIR"
  log "yyjson 0.10.0 source in $YYJSON_SOURCE_DIR"
}

install_system_packages
install_yyjson
install_yyjson_source
log "all dependencies present"
