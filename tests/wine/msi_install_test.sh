#!/usr/bin/env bash
# The installer package under Wine's msiexec, in one prefix: a silent install, the service
# it registers and starts, which repairs a watched reader, the optional logging switch, a
# major upgrade to a package of the next version built from the same sources, a refused
# downgrade, and a clean removal.
# Usage: msi_install_test.sh ruverodazaroda-<version>-x64.msi ruverodazaroda.exe cfgmgr32.dll
#                            <version> <source folder>
set -u
msi=$1
exe=$2
dll=$3
version=$4
source=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"
. "$here/../windows/service_description.sh"

description=$(service_description "$source")
service_key='HKLM\System\CurrentControlSet\Services\RUVERODAzaroda'
switch_key='HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log'
readers_key='HKLM\SOFTWARE\Corvane\Tessarine\KVR\Readers'

# The same sources one patch version on, built into a folder of their own.
IFS=. read -r major minor patch <<<"$version"
next="$major.$minor.$((patch + 1))"
work=$(mktemp -d "${TMPDIR:-/tmp}/ruverodazaroda-next.XXXXXX")
tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$work" -xf -
sed -i -E "s/^(project\(ruverodazaroda VERSION )$version /\1$next /" "$work/CMakeLists.txt"
if ! (cd "$work" && cmake --preset windows >/dev/null && cmake --build --preset windows -j2 --target msi >/dev/null); then
    echo "FAILED: cannot build version $next"
    exit 1
fi
next_msi="$work/build/windows/ruverodazaroda-$next-x64.msi"
next_exe="$work/build/windows/ruverodazaroda.exe"
# Versions Windows Installer cannot tell apart are refused when configuring.
for bad in "$next.1" "$major.256.0" "$major.$minor.65536"; do
    sed -i -E "s/^(project\(ruverodazaroda VERSION )[0-9.]+ /\1$bad /" "$work/CMakeLists.txt"
    expect_match "version $bad refused" "cannot version the installer package" "$(cmake -S "$work" -B "$work/build/$bad" \
        -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/cmake/mingw-w64-x86_64.cmake" 2>&1 | tr '\n' ' ')"
done

wine_start_prefix "$exe" "$dll"
trap 'wine_stop_prefix; rm -rf "$work"' EXIT
. "$here/devices.sh"
reset_standin
cp "$msi" "$WINEPREFIX/drive_c/old.msi"
cp "$next_msi" "$WINEPREFIX/drive_c/new.msi"
# Only for the tests: the stand-in cfgmgr32.dll waits in the folder the package installs
# into, where the loader looks first; the package never carries it.
folder="$WINEPREFIX/drive_c/Program Files/RUVERODAzaroda"
mkdir -p "$folder"
cp "$dll" "$folder/cfgmgr32.dll"
logdir="$(windows_temp)/Kelpix.log"

# msiexec ARGS...: MSI_STATUS gets its exit status, MSI_MS the milliseconds it took; the
# installer's errors are shown when it fails.
msiexec() {
    local t0
    t0=$(date +%s%N)
    WINEDEBUG=err+msi,trace+process wine msiexec "$@" /qn >"$WINEPREFIX/msiexec.out" 2>&1 </dev/null
    MSI_STATUS=$?
    MSI_MS=$((($(date +%s%N) - t0) / 1000000))
    echo "msiexec $* took $MSI_MS ms, exit status $MSI_STATUS"
    [ "$MSI_STATUS" -eq 0 ] || grep ':err:msi:' "$WINEPREFIX/msiexec.out"
}

reg_value() {
    wine reg query "$1" /v "$2" 2>/dev/null </dev/null | tr -d '\r' |
        sed -n "s/^    $2    REG_[A-Z_]*    //p"
}


# Registered products and services of that name.
products() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null </dev/null |
        tr -d '\r' | grep -c '^    DisplayName    REG_SZ    RUVERODAzaroda$'
}
services() {
    wine reg query 'HKLM\System\CurrentControlSet\Services' 2>/dev/null </dev/null |
        tr -d '\r' | grep -ci '\\Services\\RUVERODAzaroda$'
}

same_file() {
    if cmp -s "$1" "$2"; then echo yes; else echo no; fi
}

# Runs of the recovery: Wine's sc knows no "failure" and keeps none, so compare the command.
recovery_runs() {
    grep -cF 'app (null) cmdline L"C:\\windows\\system32\\sc.exe failure RUVERODAzaroda reset= 86400 actions= restart/60000/restart/60000//0"' "$WINEPREFIX/msiexec.out"
}

newest_log() {
    ls -t "$logdir"/ruverodazaroda_P*.log 2>/dev/null | head -n 1
}

# --- Silent install without the switch.
msiexec /i 'C:\old.msi'
expect_eq "install returns 0" 0 "$MSI_STATUS"
expect_eq "the service runs" RUNNING "$(service_state)"
expect_eq "the recovery actions set once" 1 "$(recovery_runs)"
while IFS='|' read -r name value; do
    expect_eq "registration: $name" "$value" "$(reg_value "$service_key" "$name")"
done <<EOF_REGISTRATION
Type|0x10
Start|0x2
ErrorControl|0x1
ObjectName|LocalSystem
DisplayName|RUVERODAzaroda
Description|$description
DependOnService|
EOF_REGISTRATION
# Wine's installer writes the path without quotes where Windows quotes it: compare the path.
expect_eq "registration: the installed executable, no arguments" \
    'C:\Program Files\RUVERODAzaroda\ruverodazaroda.exe' \
    "$(reg_value "$service_key" ImagePath | tr -d '"')"
expect_eq "the packaged executable is installed" yes "$(same_file "$exe" "$folder/ruverodazaroda.exe")"
expect_eq "the check program is installed beside it" yes "$(exists "$folder/ruverodazaroda-check.exe")"
expect_eq "one product" 1 "$(products)"
expect_eq "without LOGGING=1 no switch" "" "$(reg_value "$switch_key" Enabled)"
expect_eq "without LOGGING=1 no log" no "$(exists "$logdir")"
expect_eq "the empty key of the reader descriptions is created" 0 \
    "$(wine reg query "$readers_key" >/dev/null 2>&1 </dev/null; echo $?)"

msiexec /x 'C:\old.msi'
expect_eq "uninstall returns 0" 0 "$MSI_STATUS"
expect_eq "removal sets no recovery" 0 "$(recovery_runs)"
expect_eq "the service process ends" 0 "$(service_processes_left)"
expect_eq "no service left" 0 "$(services)"
expect_eq "no executable left" no "$(exists "$folder/ruverodazaroda.exe")"
expect_eq "no product left" 0 "$(products)"
expect_eq "the empty key is taken away" 1 "$(wine reg query "$readers_key" >/dev/null 2>&1 </dev/null; echo $?)"

# --- Install with the switch, the driver package staged and a watched reader on the inbox
# driver: the service's first repair pass puts the package on it, and logs that.
stage_package
reader='USB\VID_F0C1&PID_0001\5&1A2B3C4D&0&1'
add_readers "$reader|USB\VID_F0C1&PID_0001&REV_0100;USB\VID_F0C1&PID_0001|$UMDF2_DESC"
msiexec /i 'C:\old.msi' LOGGING=1
install_ms=$MSI_MS
expect_eq "install with LOGGING=1 returns 0" 0 "$MSI_STATUS"
expect_eq "LOGGING=1 writes the switch" 0x1 "$(reg_value "$switch_key" Enabled)"
expect_eq "the service runs" RUNNING "$(service_state)"
eventually 60 grep -q -a ' - Done!' "$logdir"/ruverodazaroda_P*.log
expect_eq "the first repair pass repaired the reader" "$PACKAGE_DESC" "$(reader_desc "$reader")"
first=$(newest_log)
# The check program the package installs beside the service, as a detection tool runs it.
# Wine's installer writes the image path without quotes (see above), which the check names.
run_check 'C:\Program Files\RUVERODAzaroda\ruverodazaroda-check.exe'
echo "$CHECK_OUT"
expect_eq "the installed check: compliant" 0 "$CHECK_STATUS"
expect_eq "the installed check: the reader, the log switch, the result" \
    "logging: on|reader $reader: ok (wudfusbcciddriver.inf, \"$PACKAGE_DESC\")|result: compliant" \
    "$(grep -e '^logging: ' -e '^reader ' -e '^result: ' <<<"$CHECK_OUT" | tr '\n' '|' | sed 's/|$//')"
expect_match "the service logged its first repair pass" \
    "CCID Inf path = $(package_inf_win | sed 's/[\\.]/\\&/g') 1 devices that need CCID driver fixing found\. Applying CCID driver fix\. Done! " \
    "$(tr -d '\r' <"${first:-/dev/null}" | sed -E 's/^[0-9-]+ [0-9:]+ - //' | tr '\n' ' ')"

# --- Major upgrade to the next version.
msiexec /i 'C:\new.msi' LOGGING=1
upgrade_ms=$MSI_MS
expect_eq "upgrade returns 0" 0 "$MSI_STATUS"
expect_eq "the upgrade sets the recovery of the new service" 1 "$(recovery_runs)"
expect_eq "one product after the upgrade" 1 "$(products)"
expect_eq "one service after the upgrade" 1 "$(services)"
expect_eq "the new executable is installed" yes "$(same_file "$next_exe" "$folder/ruverodazaroda.exe")"
expect_eq "the service runs again" RUNNING "$(service_state)"
eventually 60 eval '[ "$(newest_log)" != "$first" ] && grep -q -a "devices that need" "$(newest_log)"'
expect_match "the old service stopped" 'Stopping' "$(tr -d '\r' <"${first:-/dev/null}")"
expect_eq "a new service process logs" yes "$([ "$(newest_log)" != "$first" ] && echo yes || echo no)"
expect_eq "one service process" 1 "$(service_processes)"
expect_eq "the switch stays" 0x1 "$(reg_value "$switch_key" Enabled)"

# --- A downgrade is refused and changes nothing.
msiexec /i 'C:\old.msi'
expect_eq "downgrade refused (1603)" $((1603 % 256)) "$MSI_STATUS"
expect_eq "still the new executable" yes "$(same_file "$next_exe" "$folder/ruverodazaroda.exe")"
expect_eq "still one product" 1 "$(products)"
expect_eq "still running" RUNNING "$(service_state)"

# --- Removal leaves nothing of the package behind, but an administrator's descriptions.
wine reg add "$readers_key" /v Descriptions /t REG_MULTI_SZ /d 'Lecteur' /f >/dev/null 2>&1 </dev/null
msiexec /x 'C:\new.msi'
expect_eq "the administrator's descriptions stay" 0 \
    "$(wine reg query "$readers_key" /v Descriptions >/dev/null 2>&1 </dev/null; echo $?)"
uninstall_ms=$MSI_MS
expect_eq "uninstall returns 0" 0 "$MSI_STATUS"
expect_eq "no service left" 0 "$(services)"
expect_eq "no executable left" no "$(exists "$folder/ruverodazaroda.exe")"
expect_eq "no check program left" no "$(exists "$folder/ruverodazaroda-check.exe")"
expect_eq "no switch left" "" "$(reg_value "$switch_key" Enabled)"
expect_eq "no product left" 0 "$(products)"
expect_eq "the service process ends" 0 "$(service_processes_left)"

echo "package $(stat -c %s "$msi") bytes; install ${install_ms} ms, upgrade ${upgrade_ms} ms, uninstall ${uninstall_ms} ms"
finish
