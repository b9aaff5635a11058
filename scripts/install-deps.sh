#!/usr/bin/env bash
# Installs what the build and the tests need on Debian/Ubuntu, and only what is missing.
# Safe to run twice. Packages that the machine's own suites lack (yyjson 0.12.0, the source
# packages compiled into the Windows programs) come from a temporary apt source list built from
# the machine's configured Debian mirror; the machine's sources are never changed.
set -euo pipefail

# yyjson comes twice: Debian's 0.12.0 binary package for the native builds (the release the
# library is written against), and Debian's 0.10.0 source package, compiled into the DLL and
# into the native *-yyjson-0.10 test builds, so that what ships is also what is tested.
YYJSON_VERSION=0.12.0
YYJSON_SOURCE_PACKAGE=yyjson=0.10.0+ds-1
YYJSON_SOURCE_TARBALL=yyjson_0.10.0+ds.orig.tar.xz
YYJSON_SOURCE_SHA256=ae6fde69a193e10afab426ef13f113d6903446405f9db9ee98bfb572bd6c961a
# The exporter compiles in cpp-httplib's single header, from Debian's source package.
HTTPLIB_SOURCE_PACKAGE=cpp-httplib=0.41.0+ds-3
HTTPLIB_SOURCE_TARBALL=cpp-httplib_0.41.0+ds.orig.tar.xz
HTTPLIB_SOURCE_SHA256=7acb492bffdd95165677d22145c2c4890e6432c5ef53d0f781defe8dec48f567
# The exporter reads its configuration file with libyaml, compiled in from Debian's source package
# (natively too, for the tests of that parser).
LIBYAML_SOURCE_PACKAGE=libyaml=0.2.5-2
LIBYAML_SOURCE_TARBALL=libyaml_0.2.5.orig.tar.gz
LIBYAML_SOURCE_SHA256=fa240dbf262be053f3898006d502d514936c818e422afdcf33921c63bed9bf2e
# TLS for the exporter: mbedTLS, compiled in statically with its own CMake.
MBEDTLS_SOURCE_PACKAGE=mbedtls=3.6.7-3
MBEDTLS_SOURCE_TARBALL=mbedtls_3.6.7.orig.tar.bz2
MBEDTLS_SOURCE_SHA256=a7e8bcbec0e6f761b4af24f25677626b35f762f68eef79c08677a363212d11f6
# bcrypt for the exporter's passwords: crypt_blowfish, as libxcrypt carries it.
LIBXCRYPT_SOURCE_PACKAGE=libxcrypt=1:4.4.38-1
LIBXCRYPT_SOURCE_TARBALL=libxcrypt_4.4.38.orig.tar.xz
LIBXCRYPT_SOURCE_SHA256=6a275a356622c64ba9f693892215dbb399c003a7a4afeed9c4c74070eaab20f4
WINPERF_DEPS_DIR=${WINPERF_DEPS_DIR:-/opt/winperf-deps}
YYJSON_SOURCE_DIR=$WINPERF_DEPS_DIR/yyjson-0.10.0
HTTPLIB_SOURCE_DIR=$WINPERF_DEPS_DIR/cpp-httplib-0.41.0
LIBYAML_SOURCE_DIR=$WINPERF_DEPS_DIR/libyaml-0.2.5
MBEDTLS_SOURCE_DIR=$WINPERF_DEPS_DIR/mbedtls-3.6.7
LIBXCRYPT_SOURCE_DIR=$WINPERF_DEPS_DIR/libxcrypt-4.4.38

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
  libz-mingw-w64-dev
  wine wine64
  prometheus python3 python3-bcrypt python3-yaml openssl curl
  wixl msitools golang-go jsonnet
  chromium chromium-driver python3-selenium
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
    echo "deb-src [signed-by=$key] $uri unstable main"
  } >"$TMP_APT/sources.list"
  log "temporary apt source: $uri (unstable; trixie and unstable sources)"
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

# Fetches a Debian source package's original tarball, checks it by SHA-256 and unpacks it into
# DEST, unless DEST already holds it (MARKER is a file inside DEST, PATTERN a line it must hold).
# Usage: install_source PACKAGE=VERSION TARBALL SHA256 DEST MARKER PATTERN
install_source() {
  local package=$1 tarball_name=$2 sha256=$3 dest=$4 marker=$5 pattern=$6
  if [ -f "$dest/$marker" ] && grep -q "$pattern" "$dest/$marker"; then
    return 0
  fi
  open_temp_sources
  mkdir -p "$TMP_APT/src"
  log "downloading the source package $package"
  # The .dsc and Debian patch set may be gone from the mirror while the original tarball is
  # still served; the tarball and its checksum decide, not apt's exit status.
  (cd "$TMP_APT/src" && temp_apt apt-get source --download-only -qq "$package") \
    >/dev/null 2>&1 || true
  local tarball=$TMP_APT/src/$tarball_name
  [ -f "$tarball" ] || die "could not download $tarball_name from the mirror"
  echo "$sha256  $tarball" | sha256sum -c --quiet - ||
    die "$tarball_name does not have the expected SHA-256"
  local staging=$dest.partial
  "${SUDO[@]}" rm -rf "$staging"
  "${SUDO[@]}" mkdir -p "$staging"
  "${SUDO[@]}" tar -xf "$tarball" -C "$staging" --strip-components=1 ||
    die "could not unpack $tarball_name"
  grep -q "$pattern" "$staging/$marker" || die "the unpacked $package is not the expected version"
  "${SUDO[@]}" rm -rf "$dest"
  "${SUDO[@]}" mv "$staging" "$dest"
  log "$package source in $dest"
}

install_system_packages
install_yyjson
install_source "$YYJSON_SOURCE_PACKAGE" "$YYJSON_SOURCE_TARBALL" "$YYJSON_SOURCE_SHA256" \
  "$YYJSON_SOURCE_DIR" src/yyjson.h '^#define YYJSON_VERSION_STRING "0.10.0"'
install_source "$HTTPLIB_SOURCE_PACKAGE" "$HTTPLIB_SOURCE_TARBALL" "$HTTPLIB_SOURCE_SHA256" \
  "$HTTPLIB_SOURCE_DIR" httplib.h '^#define CPPHTTPLIB_VERSION "0.41.0"'
install_source "$LIBYAML_SOURCE_PACKAGE" "$LIBYAML_SOURCE_TARBALL" "$LIBYAML_SOURCE_SHA256" \
  "$LIBYAML_SOURCE_DIR" CMakeLists.txt '^set (YAML_VERSION_PATCH 5)'
install_source "$MBEDTLS_SOURCE_PACKAGE" "$MBEDTLS_SOURCE_TARBALL" "$MBEDTLS_SOURCE_SHA256" \
  "$MBEDTLS_SOURCE_DIR" include/mbedtls/build_info.h '^#define MBEDTLS_VERSION_STRING  *"3.6.7"'
install_source "$LIBXCRYPT_SOURCE_PACKAGE" "$LIBXCRYPT_SOURCE_TARBALL" "$LIBXCRYPT_SOURCE_SHA256" \
  "$LIBXCRYPT_SOURCE_DIR" configure.ac '4\.4\.38'
log "all dependencies present"
