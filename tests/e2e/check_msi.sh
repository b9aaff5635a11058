#!/usr/bin/env bash
# The MSI under Wine, in a prefix of this test's own: install with every property (paths with
# spaces, a value with a quote), the service running and scraped, its textfile folder served,
# stop and start, a start that fails with the cause in the Event Log, an upgrade to a newer
# package without properties keeping every value, a rebuild of that version given one property
# replacing it, a property given empty leaving its flag out, a repair keeping the settings, a
# downgrade refused, and the uninstall leaving nothing behind.
# The opt-in firewall rule through a stand-in netsh.exe that records its calls.
# Usage: check_msi.sh WINE MSI BUILD_MSI INSTALL_TREE PROMTOOL PREFIX MSI_INSTALL_EXE NETSH_STANDIN
set -uo pipefail
wine=$1
msi=$2
build_msi=$3
tree=$4
promtool=$5
export WINEPREFIX=$6
msi_install=$7
netsh_standin=$8
# Errors on the eventlog channel are what the service's ReportEventW calls print under Wine.
# Wine's own netsh.exe gives way to the stand-in put into system32.
export WINEDEBUG=-all,err+eventlog WINEDLLOVERRIDES="mscoree,mshtml=;netsh.exe=n"
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
cp "$netsh_standin" "$WINEPREFIX/drive_c/windows/system32/netsh.exe"
netsh_calls="$WINEPREFIX/drive_c/netsh-calls.txt"
# What netsh was asked since the last look, one call a line.
netsh_asked() { [ -f "$netsh_calls" ] && tr -d '\r' <"$netsh_calls" | sed 's/^\xef\xbb\xbf//'; rm -f "$netsh_calls"; }
rule='advfirewall firewall %s rule name="winperf exporter"'
"$wine" sc query winperf_exporter >/dev/null 2>"$tmp/wine.err"

status() { curl -s -m 3 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$1/-/healthy"; }
service_key='HKLM\System\CurrentControlSet\Services\winperf_exporter'
reg_value() { "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n -E "s/^ *$2 +REG_[A-Z_]+ +(.*)$/\\1/p"; }
# Through the Windows Installer API, the properties as they are.
install_with() {
  local package=$1 properties=$2
  "$wine" "$msi_install" install "$(winpath "$package")" "$properties" >"$tmp/msiexec.out" 2>&1 ||
    fail "installing $(basename "$package") with $properties: $(tr -d '\r' <"$tmp/msiexec.out")"
}
# Before a repair or an uninstall: Wine reports STOPPED before the service's process has ended.
stopped_and_gone() {
  "$wine" net stop winperf_exporter >/dev/null 2>&1
  wait_state STOPPED && wait_exited || fail "the service did not stop and end before $1"
}
settings_key='HKLM\SOFTWARE\winperf\exporter'
setting_names=(LISTEN_ADDRESS TELEMETRY_PATH MIN_INTERVAL CONFIG_FILE WEB_CONFIG_FILE TEXTFILE_DIRECTORY EXTRA_FLAGS REMOTE_ADDR)
remembered() { local n; for n in "${setting_names[@]}"; do echo "$n$(reg_value "$settings_key" "$n")"; done; }
# The service's arguments, the program's path (quoted or not) taken off.
arguments() { reg_value "$service_key" ImagePath | sed -E 's/^"?[^"]*winperf-exporter\.exe"? //'; }
# Wine's reg, like its sc, now and then answers nothing: a reading is taken again before it counts
# as different.
read_as() {
  local want=$1 got _
  shift
  for _ in 1 2 3; do
    got=$("$@")
    [ "$got" = "$want" ] && break
    sleep 0.2
  done
  printf '%s' "$got"
}
remembered_line() { remembered | tr '\n' ' '; }
expect_arguments() {
  local got
  got=$(read_as "$2" arguments)
  [ "$got" = "$2" ] || fail "$1: the service's arguments are
  $got
not
  $2"
}
expect_remembered() {
  local got
  got=$(read_as "$2" remembered_line)
  [ "$got" = "$2" ] || fail "$1: remembered $got, not $2"
}
scrape() {
  local port=$1
  curl -s -m 5 "http://127.0.0.1:$port/m%22x" >"$tmp/metrics" || { fail "no metrics on port $port"; return; }
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

# Install with every property: paths with spaces, a telemetry path with a quote, extra flags.
conf_dir="$WINEPREFIX/drive_c/ProgramData/winperf conf"
mkdir -p "$conf_dir"
echo "# settings from the MSI's CONFIG_FILE" >"$conf_dir/exporter.yml"
printf 'http_server_config:\n  headers:\n    X-Frame-Options: deny\n' >"$conf_dir/web config.yml"
port=$(free_port)
install_with "$msi" "LISTEN_ADDRESS=127.0.0.1:$port TELEMETRY_PATH=\"/m\"\"x\" MIN_INTERVAL=2s CONFIG_FILE=\"C:\\ProgramData\\winperf conf\\exporter.yml\" WEB_CONFIG_FILE=\"C:\\ProgramData\\winperf conf\\web config.yml\" EXTRA_FLAGS=--web.max-requests=7"
[ "$(installed_versions)" = "$version " ] || fail "installed: $(installed_versions), not $version"
for f in "${installed_files[@]}"; do
  [ -f "$programs/$f" ] || fail "not installed: $f"
  cmp -s "$programs/$f" "$tree/$f" || fail "installed $f differs from the install tree"
done
wait_state RUNNING || fail "the installed service did not reach RUNNING"
show "installed with every property"
textfiles="$programs/textfile_inputs"
all_args="--web.listen-address=127.0.0.1:$port --web.telemetry-path=\"/m\\\"x\" --collector.min-interval=2s --config.file=\"C:\\ProgramData\\winperf conf\\exporter.yml\" --web.config.file=\"C:\\ProgramData\\winperf conf\\web config.yml\" --collector.textfile.directory=\"C:\\Program Files\\winperf\\textfile_inputs\\\\\" --web.max-requests=7"
all_remembered="LISTEN_ADDRESS=127.0.0.1:$port TELEMETRY_PATH=/m\"x MIN_INTERVAL=2s CONFIG_FILE=C:\\ProgramData\\winperf conf\\exporter.yml WEB_CONFIG_FILE=C:\\ProgramData\\winperf conf\\web config.yml TEXTFILE_DIRECTORY=C:\\Program Files\\winperf\\textfile_inputs\\ EXTRA_FLAGS=--web.max-requests=7 REMOTE_ADDR= "
expect_arguments "install" "$all_args"
expect_remembered "install" "$all_remembered"
echo "ImagePath: $(reg_value "$service_key" ImagePath)"
echo "remembered: $(remembered_line)"
[ -d "$textfiles" ] || fail "no textfile folder: $textfiles"
[ -z "$(netsh_asked)" ] || fail "a firewall rule without ADDLOCAL=FirewallException"
printf '# HELP msi_textfile_check Put here by the MSI test.\n# TYPE msi_textfile_check gauge\nmsi_textfile_check 42\n' >"$textfiles/check.prom"
# The quote reaches the exporter: its telemetry path is /m"x.
sleep 2.1  # the last collection's interval
served=$(curl -s -m 5 -D "$tmp/headers" "http://127.0.0.1:$port/m%22x")
grep -q '^msi_textfile_check 42' <<<"$served" || fail "the textfile folder's file is not served"
grep -qi '^X-Frame-Options: deny' "$tmp/headers" || fail "the web configuration's header is missing"
echo "served at /m\"x: $(grep -c '^winperf_' <<<"$served") samples, msi_textfile_check from $textfiles, $(grep -i '^X-Frame-Options' "$tmp/headers" | tr -d '\r')"
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
# Read once, and again if sc query answered nothing (it does now and then under Wine).
code=$(field WIN32_EXIT_CODE)
[ -n "$code" ] || code=$(field WIN32_EXIT_CODE)
[ "$code" = 0 ] || fail "stopped with exit code '$code'"
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

# An upgrade to a newer package without properties: every value remembered, the same command
# line, serving on the remembered address; one product, one service.
upgrade=$tmp/winperf-exporter-upgrade.msi
newer=${version%.*}.$((${version##*.} + 1))
bash "$build_msi" "$tree" "$newer" "$upgrade" || fail "cannot build the upgrade package"
"$wine" msiexec /i "$(winpath "$upgrade")" /qn >"$tmp/msiexec.out" 2>&1 ||
  fail "msiexec /i of the upgrade returned $?: $(tr -d '\r' <"$tmp/msiexec.out")"
wait_state RUNNING || fail "the upgraded service did not reach RUNNING"
show "upgrade to $newer without properties"
expect_arguments "upgrade without properties" "$all_args"
expect_remembered "upgrade without properties" "$all_remembered"
echo "after the upgrade: ImagePath $(reg_value "$service_key" ImagePath)"
[ "$(status "$port")" = 200 ] || fail "the upgrade does not serve on the remembered address"
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
stopped_and_gone "the rebuild's install"
[ -z "$(netsh_asked)" ] || fail "a firewall rule on the upgrade without ADDLOCAL=FirewallException"
"$wine" msiexec /i "$(winpath "$rebuilt")" /qn MIN_INTERVAL=3s ADDLOCAL=FirewallException \
  REMOTE_ADDR=10.0.0.0/8,192.168.1.5 >"$tmp/msiexec.out" 2>&1 ||
  fail "msiexec /i of the rebuild returned $?: $(tr -d '\r' <"$tmp/msiexec.out")"
wait_state RUNNING || fail "the rebuilt package's service did not reach RUNNING"
show "same version $newer rebuilt, given MIN_INTERVAL=3s and the firewall rule"
all_args=${all_args/--collector.min-interval=2s/--collector.min-interval=3s}
all_remembered=${all_remembered/MIN_INTERVAL=2s/MIN_INTERVAL=3s}
all_remembered=${all_remembered/REMOTE_ADDR=/REMOTE_ADDR=10.0.0.0\/8,192.168.1.5}
asked=$(netsh_asked)
# shellcheck disable=SC2059
expected_rules="$(printf "$rule" delete)
$(printf "$rule" add) dir=in action=allow protocol=TCP localport=$port remoteip=10.0.0.0/8,192.168.1.5"
[ "$asked" = "$expected_rules" ] || fail "netsh was asked
$asked
not
$expected_rules"
echo "ADDLOCAL=FirewallException REMOTE_ADDR=10.0.0.0/8,192.168.1.5: netsh $(tr '\n' '|' <<<"$asked")"
expect_arguments "the rebuild given one property" "$all_args"
expect_remembered "the rebuild given one property" "$all_remembered"
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
# Tried again while another installation still holds the installer (1618).
for _ in $(seq 1 20); do
  rm -f "$tmp/downgrade.log"
  "$wine" msiexec /i "$(winpath "$msi")" /qn "/l*v" "$(winpath "$tmp/downgrade.log")" \
    >"$tmp/msiexec.out" 2>&1
  rc=$?
  [ "$rc" = 1618 ] || break
  sleep 0.5
done
[ "$rc" != 0 ] || fail "the older package installed over the newer one"
# Wine's msiexec logs that the launch conditions failed, not their text: that is the table's. Its
# exit code then is not always 1603 (67 seen), and the log may still be written after it returns.
refused_by_condition() {
  tr -d '\000\r' <"$tmp/downgrade.log" 2>/dev/null | grep -aq "LaunchConditions. Return value [^1]"
}
# Under load the log has come more than 10 s after msiexec returned.
for _ in $(seq 1 300); do refused_by_condition && break; sleep 0.2; done
refused_by_condition || fail "the downgrade was not refused by its launch condition (msiexec $rc)"
msiinfo export "$msi" LaunchCondition | tr -d '\r' |
  grep -qx "NOT WIX_DOWNGRADE_DETECTED${tab}A newer winperf exporter is already installed." ||
  fail "the downgrade's message: $(msiinfo export "$msi" LaunchCondition | tail -n +4)"
[ "$(installed_versions)" = "$newer " ] || fail "installed after the refused downgrade: $(installed_versions)"
echo "older package over $newer: refused (msiexec $rc), 'A newer winperf exporter is already installed.'"

# A property given empty on an upgrade leaves its flag out, and is remembered so.
newest=${newer%.*}.$((${newer##*.} + 1))
upgrade=$tmp/winperf-exporter-newest.msi
bash "$build_msi" "$tree" "$newest" "$upgrade" || fail "cannot build the $newest package"
stopped_and_gone "the upgrade to $newest"
# Another port, and netsh failing: the rule follows the port, the install still succeeds.
old_port=$port
port=$(free_port)
touch "$WINEPREFIX/drive_c/netsh-fail"
install_with "$upgrade" "WEB_CONFIG_FILE=\"\" LISTEN_ADDRESS=127.0.0.1:$port ADDLOCAL=FirewallException"
rm -f "$WINEPREFIX/drive_c/netsh-fail"
wait_state RUNNING || fail "not running after the upgrade with WEB_CONFIG_FILE=\"\""
all_args=${all_args/127.0.0.1:$old_port/127.0.0.1:$port}
all_remembered=${all_remembered/127.0.0.1:$old_port/127.0.0.1:$port}
asked=$(netsh_asked)
# The old product's removal deletes its rule; the new one deletes and adds for the new port.
expected_rules="$(printf "$rule" delete)
$(printf "$rule" delete)
$(printf "$rule" add) dir=in action=allow protocol=TCP localport=$port remoteip=10.0.0.0/8,192.168.1.5"
[ "$asked" = "$expected_rules" ] || fail "netsh was asked on the port change
$asked
not
$expected_rules"
echo "port $old_port -> $port with netsh failing: installed; netsh $(tr '\n' '|' <<<"$asked")"
all_args=${all_args/ --web.config.file=\"C:\\ProgramData\\winperf conf\\web config.yml\"/}
all_remembered=${all_remembered/WEB_CONFIG_FILE=C:\\ProgramData\\winperf conf\\web config.yml/WEB_CONFIG_FILE=}
expect_arguments 'WEB_CONFIG_FILE=""' "$all_args"
expect_remembered 'WEB_CONFIG_FILE=""' "$all_remembered"
curl -s -m 5 -o /dev/null -D "$tmp/headers" "http://127.0.0.1:$port/m%22x"
grep -qi '^X-Frame-Options' "$tmp/headers" && fail "the web configuration is still read"
echo "upgrade to $newest with WEB_CONFIG_FILE=\"\": $(arguments)"

# A repair keeps the settings.
product=$(msiinfo export "$upgrade" Property | tr -d '\r' | sed -n -E "s/^ProductCode${tab}//p")
stopped_and_gone "the repair"
"$wine" "$msi_install" repair "$product" >"$tmp/msiexec.out" 2>&1 ||
  fail "the repair failed: $(tr -d '\r' <"$tmp/msiexec.out")"
"$wine" net start winperf_exporter >/dev/null 2>&1
wait_state RUNNING || fail "not running after the repair"
expect_arguments "repair" "$all_args"
expect_remembered "repair" "$all_remembered"
echo "repair of $product: the same arguments and remembered values; netsh $(netsh_asked | tr '\n' '|')"
rm -f "$textfiles/check.prom"

# Uninstall: nothing left. The service is stopped and its process gone first: Wine's msiexec
# removes the files the moment the service reports STOPPED, and cannot delete the image of a
# process that is still ending (seen under load). The uninstall's own stop is the upgrade's.
stopped_and_gone "the uninstall"
"$wine" msiexec /x "$(winpath "$upgrade")" /qn >"$tmp/msiexec.out" 2>&1 ||
  fail "msiexec /x returned $?: $(tr -d '\r' <"$tmp/msiexec.out")"
"$wine" sc query winperf_exporter >/dev/null 2>&1
rc=$?
echo "msiexec /x: sc query winperf_exporter returns $rc"
[ "$rc" != 0 ] || fail "the service is still there"
"$wine" reg query "$service_key" >/dev/null 2>&1 && fail "the service's key is still there"
"$wine" reg query "$source_key" >/dev/null 2>&1 && fail "the Event Log source is still registered"
"$wine" reg query "$settings_key" /v LISTEN_ADDRESS >/dev/null 2>&1 && fail "the remembered settings are still there"
asked=$(netsh_asked)
# shellcheck disable=SC2059
[ "$asked" = "$(printf "$rule" delete)" ] || fail "netsh on the uninstall: $asked"
echo "msiexec /x: netsh $asked"
[ -d "$textfiles" ] && fail "the empty textfile folder is still there"
left=$(find "$programs" -type f 2>/dev/null)
[ -z "$left" ] || fail "files left after the uninstall: $left"
[ "$(status "$port")" = 000 ] || fail "the port still answers after the uninstall"
[ -z "$(installed_versions)" ] || fail "still installed after the uninstall: $(installed_versions)"

[ "$failures" -eq 0 ] && echo "MSI checks passed" || { echo "$failures MSI checks failed"; exit 1; }
