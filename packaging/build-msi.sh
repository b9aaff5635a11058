#!/usr/bin/env bash
# Builds the exporter's MSI from an install tree: wixl for the package, then msibuild for what
# wixl cannot write (the service's restart on failure) and for the properties that must reach
# the elevated part of a per-machine install.
# Usage: build-msi.sh INSTALL_TREE VERSION OUTPUT.msi [WXS]; WIXL and MSIBUILD name the tools.
set -euo pipefail
wixl=${WIXL:-wixl}
msibuild=${MSIBUILD:-msibuild}
stage=$(cd "$1" && pwd)
version=$2
out=$(realpath -m "$3")
wxs=$(realpath "${4:-$(dirname "$0")/winperf-exporter.wxs}")

tables=$(mktemp -d)
trap 'rm -rf "$tables"' EXIT

# wixl resolves the File sources against the current directory.
mkdir -p "$(dirname "$out")"
(cd "$stage" && "$wixl" -a x64 -D Version="$version" -o "$out" "$wxs")

# Restart after 60 s, three times, the count reset after a day without a failure; the service
# manager repeats the last action for every later failure, so a fourth one does nothing. The flag
# makes a STOPPED report with an error code count as a failure too, not only a crash.
tab=$'\t'
{
  echo "MsiServiceConfigFailureActions${tab}Name${tab}Event${tab}ResetPeriod${tab}RebootMessage${tab}Command${tab}Actions${tab}DelayActions${tab}Component_"
  echo "s72${tab}s255${tab}i2${tab}I4${tab}L255${tab}L255${tab}S255${tab}S255${tab}s72"
  echo "MsiServiceConfigFailureActions${tab}MsiServiceConfigFailureActions"
  echo "ExporterRestart${tab}winperf_exporter${tab}1${tab}86400${tab}${tab}${tab}1[~]1[~]1[~]0${tab}60000[~]60000[~]60000[~]0${tab}Exporter"
} >"$tables/MsiServiceConfigFailureActions.idt"
{
  echo "MsiServiceConfig${tab}Name${tab}Event${tab}ConfigType${tab}Argument${tab}Component_"
  echo "s72${tab}s255${tab}i2${tab}i4${tab}S0${tab}s72"
  echo "MsiServiceConfig${tab}MsiServiceConfig"
  echo "ExporterFailureFlag${tab}winperf_exporter${tab}1${tab}4${tab}1${tab}Exporter"
  # A delayed automatic start (SERVICE_CONFIG_DELAYED_AUTO_START_INFO): not in the boot's rush.
  echo "ExporterDelayedStart${tab}winperf_exporter${tab}1${tab}3${tab}1${tab}Exporter"
} >"$tables/MsiServiceConfig.idt"

# A package of the same version replaces the installed one, as a higher version does (a rebuild
# must not install beside it): the row that finds older products takes their version too
# (VersionMaxInclusive, 0x200, beside MigrateFeatures). wixl writes no such row, and the
# attributes are part of the row's key, so the row is replaced.
upgrade_code=$(sed -n -E 's/.*UpgradeCode="([^"]+)".*/\1/p' "$wxs")

# ResolveSettings (settings.dll) sets the properties the registry values and the service's
# command line are formatted from: it must be immediate (type 1), after the costing that resolves
# INSTALLDIR and before InstallValidate. wixl makes it deferred and puts it after InstallFinalize.
# The main feature cannot be left out (UIDisallowAbsent, 16), which wixl does not write, and
# KeepMainFeature (a property set, type 51) adds it to ADDLOCAL before the costing.
# The firewall actions run netsh from a property (type 50), deferred and elevated (0x400, 0x800),
# their exit code ignored (0x40): 3186; between installing and starting the service.
# MsiConfigureServices applies both tables, between installing and starting the service.
(cd "$tables" && "$msibuild" "$out" -i MsiServiceConfigFailureActions.idt -i MsiServiceConfig.idt \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('MsiConfigureServices', 'VersionNT >= 600', 5850)" \
  -q "UPDATE CustomAction SET Type = 1 WHERE Action = 'ResolveSettings'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 1010 WHERE Action = 'ResolveSettings'" \
  -q "UPDATE Feature SET Attributes = 16 WHERE Feature = 'Complete'" \
  -q "UPDATE CustomAction SET Type = 51 WHERE Action = 'KeepMainFeature'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 790 WHERE Action = 'KeepMainFeature'" \
  -q "UPDATE CustomAction SET Type = 3186 WHERE Action = 'FirewallDelete'" \
  -q "UPDATE CustomAction SET Type = 3186 WHERE Action = 'FirewallAdd'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 5860 WHERE Action = 'FirewallDelete'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 5870 WHERE Action = 'FirewallAdd'" \
  -q "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;LISTEN_ADDRESS;TELEMETRY_PATH;MIN_INTERVAL;CONFIG_FILE;WEB_CONFIG_FILE;TEXTFILE_DIRECTORY;EXTRA_FLAGS;REMOTE_ADDR' WHERE Property = 'SecureCustomProperties'" \
  -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('{$upgrade_code}', '$version', 513, 'WIX_UPGRADE_DETECTED')")
