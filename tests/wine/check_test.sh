#!/usr/bin/env bash
# The check program under Wine, beside the service in a folder whose path has spaces: two
# watched readers on the UMDF2 driver before the service is installed, the same readers on
# the package once `install` has run the service's first pass, and a reader of another
# vendor that is never listed.
# Usage: check_test.sh ruverodazaroda.exe cfgmgr32.dll ruverodazaroda-check.exe
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2" 'C:\Program Files\RUVERODAzaroda'
. "$here/devices.sh"
cp "$3" "$EXE_DIR/ruverodazaroda-check.exe"
# Wine's cfgmgr32 has no CM_Get_DevNode_Status: the check takes it from the stand-in too,
# which reports every device node started without a problem.
wine reg add 'HKCU\Software\Wine\AppDefaults\ruverodazaroda-check.exe\DllOverrides' \
    /v cfgmgr32 /d native /f >/dev/null 2>&1 </dev/null

# run_check: CHECK_OUT gets its standard output, redirected to a file as detection tools
# capture it, without CR; CHECK_STATUS its exit status (modulo 256).
run_check() {
    wine "${EXE_WIN%\\*}\\ruverodazaroda-check.exe" "$@" >"$WINEPREFIX/check.out" \
        2>"$WINEPREFIX/check.err" </dev/null
    CHECK_STATUS=$?
    CHECK_OUT=$(tr -d '\r' <"$WINEPREFIX/check.out")
}

stage_package
add_readers "USB\\VID_F0C1&PID_1001\\A1|USB\\VID_F0C1&PID_1001&REV_0100;USB\\VID_F0C1&PID_1001|$UMDF2_DESC" \
    "USB\\VID_F0C3&PID_3003\\C3|USB\\VID_F0C3&PID_3003|$UMDF2_DESC" \
    "USB\\VID_1234&PID_0001\\X1|USB\\VID_1234&PID_0001|$UMDF2_DESC"

run_check
echo "$CHECK_OUT"
echo "status $CHECK_STATUS"
cat "$WINEPREFIX/check.err"
run_command install
wait_service_state RUNNING 30
sleep 2
run_check
echo "$CHECK_OUT"
echo "status $CHECK_STATUS"
cat "$WINEPREFIX/check.err"
finish
