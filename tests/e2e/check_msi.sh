#!/usr/bin/env bash
# The MSI under Wine, in a prefix of this test's own: install with a property, the service
# running and scraped, stop and start, a start that fails with the cause in the Event Log, an
# upgrade to a newer package with another address, a rebuild of that version replacing it, a
# downgrade refused, and the uninstall leaving nothing behind.
# Usage: check_msi.sh WINE MSI BUILD_MSI INSTALL_TREE PROMTOOL PREFIX
set -uo pipefail
wine=$1
msi=$2
build_msi=$3
tree=$4
promtool=$5
export WINEPREFIX=$6
# Errors on the eventlog channel are what the service's ReportEventW calls print under Wine.
export WINEDEBUG=-all,err+eventlog WINEDLLOVERRIDES=mscoree,mshtml=
source "$(dirname "$0")/service_common.sh"

tmp=$(mktemp -d)
holder=""
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  "$wine" msiexec /x "$(winpath "$msi")" /qn >/dev/null 2>&1
  wineserver -k 2>/dev/null  # ends the service processes of this prefix
  rm -rf "$tmp"
}
trap cleanup EXIT
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# The first Wine program under the test's own server starts the service manager, whose stderr
# (and its services', with the Event Log lines) is then wine.err.
fresh_prefix
"$wine" sc query winperf_exporter >/dev/null 2>"$tmp/wine.err"

status() { curl -s -m 3 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$1/-/healthy"; }
service_key='HKLM\System\CurrentControlSet\Services\winperf_exporter'
reg_value() { "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n -E "s/^ *$2 +REG_[A-Z_]+ +(.*)$/\\1/p"; }
install() {
  local package=$1 port=$2 rc
  "$wine" msiexec /i "$(winpath "$package")" /qn "LISTEN_ADDRESS=127.0.0.1:$port" >"$tmp/msiexec.out" 2>&1
  rc=$?
  [ "$rc" = 0 ] || fail "msiexec /i $(basename "$package") returned $rc: $(tr -d '\r' <"$tmp/msiexec.out")"
}
scrape() {
  local port=$1
  curl -s -m 5 "http://127.0.0.1:$port/metrics" >"$tmp/metrics" || { fail "no /metrics on port $port"; return; }
  "$promtool" check metrics <"$tmp/metrics" || fail "promtool rejected the service's exposition"
  echo "scrape on $port: $(grep -c '^winperf_' "$tmp/metrics") samples, $(grep '^winperf_exporter_build_info' "$tmp/metrics")"
}
programs="$WINEPREFIX/drive_c/Program Files/winperf"
installed_files=(bin/winperf-exporter.exe bin/quarvel-prometheus-winperf.dll bin/winperf-sample.exe
  bin/LICENSE bin/THIRD-PARTY-NOTICES.txt include/winperf.h lib/quarvel-prometheus-winperf.dll.a
  lib/cmake/winperf/winperfConfig.cmake lib/cmake/winperf/winperfConfigVersion.cmake
  lib/cmake/winperf/winperfTargets.cmake lib/cmake/winperf/winperfTargets-release.cmake)
# The products installed, as their versions: this prefix holds no other.
installed_versions() {
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | sed -n -E 's/^ *DisplayVersion +REG_SZ +(.*)$/\1/p' | tr '\n' ' '
}

# The restart on failure, which Wine ignores, can only be checked in the package's tables.
table_row() { msiinfo export "$msi" "$1" | tr -d '\r' | sed -n 4p; }
tab=$'\t'
[ "$(table_row MsiServiceConfigFailureActions)" = "ExporterRestart${tab}winperf_exporter${tab}1${tab}86400${tab}${tab}${tab}1[~]1[~]1[~]0${tab}60000[~]60000[~]60000[~]0${tab}Exporter" ] ||
  fail "failure actions: $(table_row MsiServiceConfigFailureActions)"
[ "$(table_row MsiServiceConfig)" = "ExporterFailureFlag${tab}winperf_exporter${tab}1${tab}4${tab}1${tab}Exporter" ] ||
  fail "failure actions flag: $(table_row MsiServiceConfig)"
msiinfo export "$msi" MsiServiceConfig | tr -d '\r' |
  grep -qx "ExporterDelayedStart${tab}winperf_exporter${tab}1${tab}3${tab}1${tab}Exporter" ||
  fail "no delayed automatic start: $(msiinfo export "$msi" MsiServiceConfig | tr -d '\r' | tail -n +4)"
msiinfo export "$msi" Upgrade | tr -d '\r' | grep -q "^{[-0-9A-F]*}${tab}${tab}[0-9.]*${tab}${tab}513${tab}${tab}WIX_UPGRADE_DETECTED$" ||
  fail "same-version packages are not upgrades: $(msiinfo export "$msi" Upgrade | tr -d '\r' | tail -n +4)"
msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | grep -q "^MsiConfigureServices${tab}" ||
  fail "MsiConfigureServices is not sequenced"
msiinfo export "$msi" Property | tr -d '\r' | grep -q "^SecureCustomProperties${tab}.*;LISTEN_ADDRESS;" ||
  fail "the properties are not passed to the elevated install"
version=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n -E "s/^ProductVersion${tab}//p")
echo "package $(basename "$msi"), version $version, failure actions: $(table_row MsiServiceConfigFailureActions | cut -f7,8)"

# Install, with the address as a property.
port=$(free_port)
install "$msi" "$port"
[ "$(installed_versions)" = "$version " ] || fail "installed: $(installed_versions), not $version"
for f in "${installed_files[@]}"; do
  [ -f "$programs/$f" ] || fail "not installed: $f"
  cmp -s "$programs/$f" "$tree/$f" || fail "installed $f differs from the install tree"
done
wait_state RUNNING || fail "the installed service did not reach RUNNING"
show "msiexec /i"
scrape "$port"
image=$(reg_value "$service_key" ImagePath)
echo "ImagePath: $image"
case "$image" in
  *'\winperf\bin\winperf-exporter.exe'*"--web.listen-address=127.0.0.1:$port --web.telemetry-path=/metrics --collector.min-interval=1s"*) ;;
  *) fail "the service's command line lacks the properties: $image" ;;
esac
[ "$(reg_value "$service_key" Start)" = 0x2 ] || fail "the service does not start automatically"
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\winperf_exporter'
case "$(reg_value "$source_key" EventMessageFile)" in
  *'\winperf\bin\winperf-exporter.exe') ;;
  *) fail "the Event Log source is not registered" ;;
esac

# Stop and start.
"$wine" net stop winperf_exporter >/dev/null
wait_state STOPPED || fail "net stop did not stop it"
show "net stop"
[ "$(field WIN32_EXIT_CODE)" = 0 ] || fail "stopped with exit code $(field WIN32_EXIT_CODE)"
[ "$(status "$port")" = 000 ] || fail "the port still answers after the stop"
"$wine" net start winperf_exporter >/dev/null
wait_state RUNNING || fail "net start did not bring it back"
show "net start"
[ "$(status "$port")" = 200 ] || fail "not serving after net start"

# A start that fails, the port taken: STOPPED with a service-specific code, the cause in the
# Event Log; once the port is free it starts again.
"$wine" net stop winperf_exporter >/dev/null
wait_state STOPPED
start_on_taken_port "$port"
for _ in $(seq 1 20); do
  grep -q "cannot listen on 127.0.0.1:$port" "$tmp/wine.err" && break
  sleep 0.2
done
grep "eventlog" "$tmp/wine.err" | grep "cannot listen on 127.0.0.1:$port" ||
  fail "the taken port is not in the Event Log: $(grep eventlog "$tmp/wine.err" | tail -3)"
release_port
"$wine" net start winperf_exporter >/dev/null
wait_state RUNNING || fail "it did not start once the port was free"
show "port free"

# An upgrade: the same tree as a newer version, installed with another address, replaces the
# old product; one service, serving on the new address only.
upgrade=$tmp/winperf-exporter-upgrade.msi
newer=${version%.*}.$((${version##*.} + 1))
bash "$build_msi" "$tree" "$newer" "$upgrade" || fail "cannot build the upgrade package"
old_port=$port
port=$(free_port)
install "$upgrade" "$port"
wait_state RUNNING || fail "the upgraded service did not reach RUNNING"
show "upgrade to $newer"
scrape "$port"
[ "$(status "$old_port")" = 000 ] || fail "the old address still answers after the upgrade"
image=$(reg_value "$service_key" ImagePath)
echo "ImagePath: $image; installed: $(installed_versions)"
case "$image" in
  *"--web.listen-address=127.0.0.1:$port "*) ;;
  *) fail "the upgraded service's command line: $image" ;;
esac
[ "$(installed_versions)" = "$newer " ] || fail "installed after the upgrade: $(installed_versions)"
"$wine" reg query 'HKLM\System\CurrentControlSet\Services' 2>/dev/null | tr -d '\r' | grep -ci 'winperf' |
  grep -qx 1 || fail "not exactly one winperf service after the upgrade"

# A rebuild of the same version with a changed file, installed over it: it replaces the installed
# product (one product, one service, the new file), as an upgrade does. Then the older package is
# refused with its message.
rebuilt_tree=$tmp/rebuilt-tree
cp -r "$tree" "$rebuilt_tree"
echo "rebuilt" >>"$rebuilt_tree/bin/THIRD-PARTY-NOTICES.txt"
rebuilt=$tmp/winperf-exporter-rebuilt.msi
bash "$build_msi" "$rebuilt_tree" "$newer" "$rebuilt" || fail "cannot build the rebuilt package"
"$wine" net stop winperf_exporter >/dev/null 2>&1
wait_state STOPPED && wait_exited || fail "no stop before the rebuild's install"
install "$rebuilt" "$port"
wait_state RUNNING || fail "the rebuilt package's service did not reach RUNNING"
show "same version $newer rebuilt"
[ "$(installed_versions)" = "$newer " ] || fail "installed after the rebuild: $(installed_versions)"
cmp -s "$programs/bin/THIRD-PARTY-NOTICES.txt" "$rebuilt_tree/bin/THIRD-PARTY-NOTICES.txt" ||
  fail "the rebuilt package's file is not the installed one"
"$wine" reg query 'HKLM\System\CurrentControlSet\Services' 2>/dev/null | tr -d '\r' | grep -ci 'winperf' |
  grep -qx 1 || fail "not exactly one winperf service after the rebuild"
products=$("$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null |
  tr -d '\r' | grep -c '{')
echo "after the same-version rebuild: installed $(installed_versions)($products product), notices end with '$(tail -n 1 "$programs/bin/THIRD-PARTY-NOTICES.txt")'"
[ "$products" = 1 ] || fail "$products products registered after the rebuild"
scrape "$port"
"$wine" msiexec /i "$(winpath "$msi")" /qn "/l*v" "$(winpath "$tmp/downgrade.log")" \
  >"$tmp/msiexec.out" 2>&1 && fail "the older package installed over the newer one"
# Wine's msiexec logs that the launch conditions failed, not their text: that is the table's.
tr -d '\000\r' <"$tmp/downgrade.log" | grep -aq "LaunchConditions. Return value [^1]" ||
  fail "the downgrade was not refused by its launch condition"
msiinfo export "$msi" LaunchCondition | tr -d '\r' |
  grep -qx "NOT WIX_DOWNGRADE_DETECTED${tab}A newer winperf exporter is already installed." ||
  fail "the downgrade's message: $(msiinfo export "$msi" LaunchCondition | tail -n +4)"
[ "$(installed_versions)" = "$newer " ] || fail "installed after the refused downgrade: $(installed_versions)"
echo "older package over $newer: refused, 'A newer winperf exporter is already installed.'"
upgrade=$rebuilt

# Uninstall: nothing left. The service is stopped and its process gone first: Wine's msiexec
# removes the files the moment the service reports STOPPED, and cannot delete the image of a
# process that is still ending (seen under load). The uninstall's own stop is the upgrade's.
"$wine" net stop winperf_exporter >/dev/null 2>&1
wait_state STOPPED || fail "no stop before the uninstall"
wait_exited || fail "the stopped service's process did not end"
"$wine" msiexec /x "$(winpath "$upgrade")" /qn >"$tmp/msiexec.out" 2>&1 ||
  fail "msiexec /x returned $?: $(tr -d '\r' <"$tmp/msiexec.out")"
"$wine" sc query winperf_exporter >/dev/null 2>&1
rc=$?
echo "msiexec /x: sc query winperf_exporter returns $rc"
[ "$rc" != 0 ] || fail "the service is still there"
"$wine" reg query "$service_key" >/dev/null 2>&1 && fail "the service's key is still there"
"$wine" reg query "$source_key" >/dev/null 2>&1 && fail "the Event Log source is still registered"
left=$(find "$programs" -type f 2>/dev/null)
[ -z "$left" ] || fail "files left after the uninstall: $left"
[ "$(status "$port")" = 000 ] || fail "the port still answers after the uninstall"
[ -z "$(installed_versions)" ] || fail "still installed after the uninstall: $(installed_versions)"

[ "$failures" -eq 0 ] && echo "MSI checks passed" || { echo "$failures MSI checks failed"; exit 1; }
