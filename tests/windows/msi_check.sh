#!/usr/bin/env bash
# The installer package's tables, and the executable's version resource against it.
# Usage: msi_check.sh ruverodazaroda-<version>-x64.msi ruverodazaroda.exe <version>
#                     <source folder>
set -u
msi=$1
exe=$2
version=$3
source=$4
. "$(dirname "$0")/../checks.sh"
. "$(dirname "$0")/service_description.sh"

# The description the install command sets, read from its source.
description=$(service_description "$source")
expect_match "the install command has a description" '^Keeps ' "$description"
upgrade_code="{6B0E5C2A-8D41-4F7E-9A53-2C1D7E4B9F60}"
guid='\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}'

# Each line: a table and one of its rows, columns separated by "|".
while IFS='|' read -r table row; do
    [ -n "$table" ] || continue
    rows=$(msiinfo export "$msi" "$table" 2>/dev/null | tail -n +4 | tr -d '\r' | tr '\t' '|')
    found=$(grep -Fxc -- "$row" <<<"$rows")
    expect_eq "$table has [$row]" 1 "$found"
done <<EOF_ROWS
Property|ProductName|RUVERODAzaroda
Property|ProductVersion|$version
Property|Manufacturer|Corvane
Property|UpgradeCode|$upgrade_code
Property|ALLUSERS|1
Property|SecureCustomProperties|LOGGING;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED
Directory|INSTALLFOLDER|ProgramFiles64Folder|RUVERODAzaroda
Component|ServiceExecutable|{3F7A2C91-5B6E-4D08-8C1F-A94E27D6B350}|INSTALLFOLDER|256||ruverodazaroda.exe
Component|LoggingSwitch|{C2D84E6F-1A97-4B35-B0E8-5F3C9A71D244}|TARGETDIR|260|LOGGING = "1" OR REMOVE ~= "ALL"|LoggingEnabled
File|ruverodazaroda.exe|ServiceExecutable|ruverodazaroda.exe|$(stat -c %s "$exe")|$version.0||512|1
ServiceInstall|Service|RUVERODAzaroda|RUVERODAzaroda|16|2|1||||||ServiceExecutable|$description
ServiceControl|Service|RUVERODAzaroda|163||1|ServiceExecutable
Upgrade|$upgrade_code||$version||1||WIX_UPGRADE_DETECTED
Upgrade|$upgrade_code|$version|||2||WIX_DOWNGRADE_DETECTED
LaunchCondition|NOT WIX_DOWNGRADE_DETECTED|A newer version of RUVERODAzaroda is already installed.
Registry|LoggingEnabled|2|SOFTWARE\Corvane\Tessarine\KVR\Log|Enabled|#1|LoggingSwitch
EOF_ROWS

expect_eq "one service, one control, one registry value, one file" "1 1 1 1" \
    "$(for t in ServiceInstall ServiceControl Registry File; do
           msiinfo export "$msi" "$t" | tail -n +4 | grep -c .
       done | tr '\n' ' ' | sed 's/ $//')"
expect_eq "a versioned file carries no hash" 0 \
    "$(msiinfo export "$msi" MsiFileHash | tail -n +4 | grep -c .)"
# The old product goes before the new one is installed.
sequence=$(msiinfo export "$msi" InstallExecuteSequence | tail -n +4 | sort -t $'\t' -k3n | cut -f1 | tr '\n' ' ')
expect_match "old product removed between validation and installation" \
    ' InstallValidate RemoveExistingProducts InstallInitialize ' " $sequence"

summary=$(msiinfo suminfo "$msi")
expect_eq "64-bit, U.S. English" "x64;1033" "$(sed -n 's/^Template: //p' <<<"$summary")"
expect_match "package code a GUID" "^$guid\$" "$(sed -n 's/^Revision number (UUID): //p' <<<"$summary")"
expect_eq "subject names the version" "RUVERODAzaroda $version" "$(sed -n 's/^Subject: //p' <<<"$summary")"
product_code=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
expect_match "product code a GUID" "^$guid\$" "$product_code"
expect_eq "product and upgrade code differ" yes "$([ "$product_code" != "$upgrade_code" ] && echo yes || echo no)"

# What the file's Details tab shows.
resource=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$exe" 2>/dev/null)
IFS=. read -r major minor patch <<<"$version"
expect_eq "file version numbers" " FILEVERSION $major, $minor, $patch, 0" "$(grep '^ FILEVERSION' <<<"$resource")"
expect_eq "product version numbers" " PRODUCTVERSION $major, $minor, $patch, 0" "$(grep '^ PRODUCTVERSION' <<<"$resource")"
while IFS='|' read -r name value; do
    expect_eq "version string $name" "      VALUE \"$name\", \"$value\"" "$(grep "VALUE \"$name\"" <<<"$resource")"
done <<EOF_STRINGS
CompanyName|Corvane
ProductName|RUVERODAzaroda
OriginalFilename|ruverodazaroda.exe
FileVersion|$version
ProductVersion|$version
FileDescription|RUVERODAzaroda smart card reader driver repair service
EOF_STRINGS
finish
