#!/usr/bin/env bash
# The installer package's tables, and the executable's version resource against it.
# Usage: msi_check.sh ruverodazaroda-<version>-x64.msi ruverodazaroda.exe
#                     ruverodazaroda-check.exe <version> <source folder>
#                     <definitions of build_msi.cmake...>
set -u
msi=$1
exe=$2
check_exe=$3
version=$4
source=$5
shift 5
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
Property|ARPNOMODIFY|1
Directory|INSTALLFOLDER|ProgramFiles64Folder|RUVERODA|RUVERODAzaroda
Component|ServiceExecutable|{3F7A2C91-5B6E-4D08-8C1F-A94E27D6B350}|INSTALLFOLDER|256||ruverodazaroda.exe
Component|LoggingSwitch|{C2D84E6F-1A97-4B35-B0E8-5F3C9A71D244}|TARGETDIR|260|LOGGING = "1" OR REMOVE ~= "ALL"|LoggingEnabled
File|ruverodazaroda.exe|ServiceExecutable|RUVERODA.EXE|ruverodazaroda.exe|$(stat -c %s "$exe")|$version.0|1033|512|1
Component|CheckProgram|{8E5B1D47-2C93-4A6F-B7E0-3D914F6C28A5}|INSTALLFOLDER|256||ruverodazaroda_check.exe
File|ruverodazaroda_check.exe|CheckProgram|RUVERO~1.EXE|ruverodazaroda-check.exe|$(stat -c %s "$check_exe")|$version.0|1033|512|2
ServiceInstall|Service|RUVERODAzaroda|RUVERODAzaroda|16|2|32769||||||ServiceExecutable|$description
ServiceControl|Service|RUVERODAzaroda|163||1|ServiceExecutable
Upgrade|$upgrade_code||$version||1||WIX_UPGRADE_DETECTED
Upgrade|$upgrade_code|$version|||2||WIX_DOWNGRADE_DETECTED
LaunchCondition|NOT WIX_DOWNGRADE_DETECTED|A newer version of RUVERODAzaroda is already installed.
Registry|LoggingEnabled|2|SOFTWARE\Corvane\Tessarine\KVR\Log|Enabled|#1|LoggingSwitch
Registry|ReaderDescriptions|2|SOFTWARE\Corvane\Tessarine\KVR\Readers|+||ServiceExecutable
EOF_ROWS

expect_eq "one service, one control, one registry value and one key, two files" "1 1 2 2" \
    "$(for t in ServiceInstall ServiceControl Registry File; do
           msiinfo export "$msi" "$t" | tail -n +4 | grep -c .
       done | tr '\n' ' ' | sed 's/ $//')"
expect_eq "a versioned file carries no hash" 0 \
    "$(msiinfo export "$msi" MsiFileHash | tail -n +4 | grep -c .)"
# table NAME COLUMN...: its rows, the columns named, separated by "|".
table() {
    msiinfo export "$msi" "$1" | tr -d '\r' | awk -F'\t' -v want="${*:2}" 'NR == 1 { n = split(want, w, " ");
        for (i = 1; i <= NF; i++) at[$i] = i } NR > 3 { for (i = 1; i <= n; i++) printf "%s%s", $(at[w[i]]), (i < n ? "|" : "\n") }'
}
sequence=" $(table InstallExecuteSequence Sequence Action | sort -n | cut -d'|' -f2 | tr '\n' ' ')"
# The older version goes inside the transaction: a failed upgrade rolls back to it.
expect_match "older version removed right after InstallInitialize" ' InstallInitialize RemoveExistingProducts ' "$sequence"
# A name outside the 8.3 form needs a short name beside it (ICE03); a root's DefaultDir is
# the source's name.
char='[^][\\?|><:/*"+,;=. ]'
while IFS='|' read -r what name; do
    expect_match "short name: $what" "^(\\.|$char{1,8}(\\.$char{1,3})?)(\|.+)?\$" "$name"
done < <(table File File FileName; table Directory Directory Directory_Parent DefaultDir | grep -v '^[^|]*||' | sed -E 's/\|[^|]*\|([^:]*).*/|\1/')
# A versioned file carries the language of its version resource (ICE60); a service that
# cannot be created fails the install.
language=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$exe" 2>/dev/null | sed -n 's/.*"Translation", \(0x[0-9a-f]*\),.*/\1/p')
while IFS='|' read -r file _ lang; do
    expect_eq "language of the versioned $file" "$((language))" "$lang"
done < <(table File File Version Language | grep -v '^[^|]*||')
while IFS='|' read -r service control; do
    expect_eq "$service is vital" 32768 "$((control & 0x8000))"
done < <(table ServiceInstall ServiceInstall ErrorControl)
# The recovery of the install command, by the system's sc.exe between the creation and the
# start of the service, deferred and not impersonated (so as LocalSystem), outcome ignored.
expect_match "recovery between InstallServices and StartServices" ' InstallServices ServiceRecovery StartServices ' "$sequence"
delay=$(grep -ho 'RestartDelay = [0-9]*' "$source"/commands/*.h | grep -o '[0-9]*$')
reset=$(grep -ho 'FailureCountReset = [0-9]*' "$source"/commands/*.h | grep -o '[0-9]*$')
IFS='|' read -r type target condition <<<"$(table CustomAction Action Type Target | sed -n 's/^ServiceRecovery|//p')|$(
    table InstallExecuteSequence Action Condition | sed -n 's/^ServiceRecovery|//p')"
expect_eq "recovery: executable, deferred, system, ignored" "34 3136" "$((type & 0x3f)) $((type & 0xC40))"
expect_eq "recovery: the install command's, when the service is installed" \
    "[System64Folder]sc.exe failure RUVERODAzaroda reset= $reset actions= restart/$delay/restart/$delay//0|\$ServiceExecutable = 3" \
    "$target|$condition"
# The package code names one package: the same inputs, the same code; one character more in
# the description, another code.
work=$(mktemp -d "${TMPDIR:-/tmp}/ruverodazaroda-codes.XXXXXX")
trap 'rm -rf "$work"' EXIT
for build in same\| again\| "changed|-DDESCRIPTION=$description!"; do
    extra=${build#*|}
    cmake "$@" ${extra:+"$extra"} -DSIGN_COMMAND= -DOUT="$work/${build%%|*}.msi" -P "$source/cmake/build_msi.cmake" >/dev/null
    msiinfo suminfo "$work/${build%%|*}.msi" | sed -n 's/^Revision number (UUID): //p'
done >"$work/codes"
expect_eq "package codes: the same twice, then another" "2 1" "$(uniq -c "$work/codes" | awk '{print $1}' | xargs)"

summary=$(msiinfo suminfo "$msi")
expect_eq "64-bit, U.S. English" "x64;1033" "$(sed -n 's/^Template: //p' <<<"$summary")"
expect_match "package code a GUID" "^$guid\$" "$(sed -n 's/^Revision number (UUID): //p' <<<"$summary")"
expect_eq "subject names the version" "RUVERODAzaroda $version" "$(sed -n 's/^Subject: //p' <<<"$summary")"
product_code=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
expect_match "product code a GUID" "^$guid\$" "$product_code"
expect_eq "product and upgrade code differ" yes "$([ "$product_code" != "$upgrade_code" ] && echo yes || echo no)"

# What the files' Details tabs show.
IFS=. read -r major minor patch <<<"$version"
while IFS='|' read -r file name description; do
    resource=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$file" 2>/dev/null)
    expect_eq "$name: file version numbers" " FILEVERSION $major, $minor, $patch, 0" "$(grep '^ FILEVERSION' <<<"$resource")"
    expect_eq "$name: product version numbers" " PRODUCTVERSION $major, $minor, $patch, 0" "$(grep '^ PRODUCTVERSION' <<<"$resource")"
    while IFS='|' read -r key value; do
        expect_eq "$name: version string $key" "      VALUE \"$key\", \"$value\"" "$(grep "VALUE \"$key\"" <<<"$resource")"
    done <<EOF_STRINGS
CompanyName|Corvane
ProductName|RUVERODAzaroda
OriginalFilename|$name
FileVersion|$version
ProductVersion|$version
FileDescription|$description
EOF_STRINGS
done <<EOF_FILES
$exe|ruverodazaroda.exe|RUVERODAzaroda smart card reader driver repair service
$check_exe|ruverodazaroda-check.exe|RUVERODAzaroda check of the readers and the service
EOF_FILES
finish
