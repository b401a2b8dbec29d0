#!/usr/bin/env bash
# A walk through the executable under Wine with logging on: every command word, a wrong
# argument, and service mode from a console; then the log files it wrote.
# Usage: story.sh ruverodazaroda.exe cfgmgr32.dll
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2"
wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 1 /f \
    >/dev/null 2>&1 </dev/null
for args in "install" "start" "stop" "delete" "Wrong" "stop now" ""; do
    # shellcheck disable=SC2086
    run_exe $args
    printf 'ruverodazaroda.exe %-10s exit status %d\n' "$args" "$RUN_STATUS"
done
for log in "$(windows_temp)"/Kelpix.log/*.log; do
    echo "--- C:\\windows\\Temp\\Kelpix.log\\$(basename "$log")"
    tr -d '\r' <"$log"
done
