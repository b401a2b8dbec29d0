#!/usr/bin/env bash
# The system's job, shown under Wine: a throwaway prefix with two watched readers on the
# inbox UMDF2 driver and one reader of another vendor; the check program's answer before the
# service is installed; the service installed and started (repairing the two), a third
# watched reader plugged in (repaired on arrival), the check's answer again, the service
# stopped and deleted. Prints the readers before and after, each step's outcome and the
# service's log; leaves nothing running or behind.
# Usage: story.sh ruverodazaroda.exe cfgmgr32.dll ruverodazaroda-check.exe
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

if [ -t 1 ]; then
    bold=$'\e[1m' green=$'\e[32m' red=$'\e[31m' dim=$'\e[2m' off=$'\e[0m'
else
    bold='' green='' red='' dim='' off=''
fi
started=$(date +%s%N)
elapsed() {
    local now
    now=$(date +%s%N)
    printf '%d.%01d s' $(((now - started) / 1000000000)) $(((now - started) / 100000000 % 10))
}
step() {
    printf '%s%-64s%s' "$bold" "$1" "$off"
}
outcome() {
    local colour=$green
    [ "$1" == ok ] || colour=$red
    printf '%s%s%s  %s%s%s\n' "$colour" "$2" "$off" "$dim" "$(elapsed)" "$off"
}
# The check's last line and status, as a fleet tool reads them; ok when the status is $1.
check_outcome() {
    local verdict=failed
    [ "$CHECK_STATUS" == "$1" ] && verdict=ok
    outcome "$verdict" "$(tail -n 1 <<<"$CHECK_OUT"), status $CHECK_STATUS"
}

step "Fresh Wine prefix, services.exe running"
wine_start_prefix "$1" "$2" 'C:\Program Files\RUVERODAzaroda'
. "$here/devices.sh"
cp "$3" "$EXE_DIR/ruverodazaroda-check.exe"
check='C:\Program Files\RUVERODAzaroda\ruverodazaroda-check.exe'
outcome ok "ready"

step "CCID package staged, logging switched on"
stage_package
reset_standin
wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 1 /f \
    >/dev/null 2>&1 </dev/null
outcome ok "in the driver store"

readers=(
    'USB\VID_F0C1&PID_0001\5&1A2B3C4D&0&1|USB\VID_F0C1&PID_0001&REV_0100;USB\VID_F0C1&PID_0001'
    'USB\VID_F0C2&PID_0002\5&1A2B3C4D&0&2|USB\VID_F0C2&PID_0002&REV_0200;USB\VID_F0C2&PID_0002'
    'USB\VID_1234&PID_5678\5&1A2B3C4D&0&3|USB\VID_1234&PID_5678&REV_0100;USB\VID_1234&PID_5678'
)
plugged='USB\VID_F0C4&PID_0004\6&2B3C4D5E&0&1|USB\VID_F0C4&PID_0004&REV_0100;USB\VID_F0C4&PID_0004'

step "Readers present: two watched (F0C1, F0C2), one other (1234)"
add_readers "${readers[@]/%/|$UMDF2_DESC}"
declare -A before
for entry in "${readers[@]}"; do
    before[${entry%%|*}]=$(reader_desc "${entry%%|*}")
done
outcome ok "all three on the UMDF2 driver"

step "ruverodazaroda-check.exe before install"
run_check "$check"
check_outcome 1

step "ruverodazaroda.exe install"
run_exe install
status=$RUN_STATUS
if wait_service_state RUNNING 60 &&
    eventually 60 grep -q -a ' - Done!' "$(windows_temp)"/Kelpix.log/ruverodazaroda_P*.log; then
    outcome ok "exit status $status, service RUNNING"
else
    outcome failed "exit status $status, service $(service_state)"
fi

step "Reader F0C4 plugged in"
add_readers "$plugged|$UMDF2_DESC"
before[${plugged%%|*}]=$UMDF2_DESC
send_events "7 ${plugged%%|*}"
if wait_callbacks 1 60 && [ "$(reader_desc "${plugged%%|*}")" == "$PACKAGE_DESC" ]; then
    outcome ok "repaired on arrival"
else
    outcome failed "not repaired"
fi

# While Wine installs the package on a reader, its new description comes before its driver
# key: the check answers compliant once the driver key names the package.
step "ruverodazaroda-check.exe after the repair"
compliant() {
    run_check "$check"
    [ "$CHECK_STATUS" == 0 ]
}
eventually 30 compliant
check_outcome 0

step "ruverodazaroda.exe stop"
run_exe stop
outcome ok "exit status $RUN_STATUS, service $(service_state)"

step "ruverodazaroda.exe delete"
run_exe delete
status=$RUN_STATUS
wait_service_state NONE 30
outcome ok "exit status $status, service $(service_state | sed 's/NONE/no longer registered/')"

echo
printf '%s%-40s  %-44s  %s%s\n' "$bold" "Reader (instance ID)" "Driver description before" \
    "after" "$off"
for entry in "${readers[@]}" "$plugged"; do
    id=${entry%%|*}
    after=$(reader_desc "$id")
    colour=$dim
    [ "$after" != "${before[$id]}" ] && colour=$green
    printf '%-40s  %-44s  %s%s%s\n' "$id" "${before[$id]}" "$colour" "$after" "$off"
done

logdir="$(windows_temp)/Kelpix.log"
service_log=$(grep -l 'Notification detection' "$logdir"/*.log 2>/dev/null | head -n 1)
echo
echo "${bold}The service's log${off} (C:\\windows\\Temp\\Kelpix.log\\$(basename "${service_log:-none}"))"
[ -n "$service_log" ] && tr -d '\r' <"$service_log" | sed '/^$/d; /^=*$/d'
echo
echo "${bold}The commands' logs${off}, in time order"
for log in "$logdir"/*.log; do
    [ "$log" == "$service_log" ] && continue
    tr -d '\r' <"$log" | sed '/^$/d; /^=*$/d; /Logging St/d'
done | sort -s -k1,2
echo
echo "${dim}Done in $(elapsed); the prefix and its wineserver are removed on exit.${off}"
