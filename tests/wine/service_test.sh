#!/usr/bin/env bash
# The real executable as a service of Wine's own service control manager: registered with
# sc create, started until it runs, stopped until it has stopped, and gone afterwards.
# Usage: service_test.sh ruverodazaroda.exe cfgmgr32.dll
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2"
wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 1 /f \
    >/dev/null 2>&1 </dev/null

sc() {
    wine sc "$@" 2>/dev/null </dev/null | tr -d '\r'
}
# A field of sc query, e.g. "STATE : 4 RUNNING" gives 4.
query() {
    sc query RUVERODAzaroda | awk -v field="$1" '$1 == field { print $3 }'
}
# Polls the state for up to 30 s; prints the last one seen.
wait_state() {
    local i
    for i in $(seq 60); do
        [ "$(query STATE)" = "$1" ] && break
        sleep 0.5
    done
    query STATE
}

sc create RUVERODAzaroda binPath= "$EXE_WIN" >/dev/null
expect_eq "registered service is stopped" 1 "$(query STATE)"
sc start RUVERODAzaroda >/dev/null
expect_eq "sc start reaches RUNNING" 4 "$(wait_state 4)"
expect_eq "while running it reports exit code 0" 0 "$(query WIN32_EXIT_CODE)"
expect_eq "one service process runs" 1 "$(service_processes)"

logdir="$(windows_temp)/Kelpix.log"
shopt -s nullglob
logs=("$logdir"/ruverodazaroda_P*.log)
expect_eq "the service process writes one log file" 1 "${#logs[@]}"
log=${logs[0]:-/nonexistent}
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - '
rule59=$(printf '=%.0s' $(seq 59))
rule72=$(printf '=%.0s' $(seq 72))
expect_match "running: trigger registered, first pass found no package" "^
${rule59}

${stamp}Logging Started

${stamp}Notification detection with 0x[0-9A-F]{16}
${stamp}Failed to get inf path location.\$" "$(tr -d '\r' <"$log")"

sc stop RUVERODAzaroda >/dev/null
expect_eq "sc stop reaches STOPPED" 1 "$(wait_state 1)"
expect_eq "stopped with exit code 0" 0 "$(query WIN32_EXIT_CODE)"
for _ in $(seq 30); do
    [ "$(service_processes)" = 0 ] && break
    sleep 1
done
expect_eq "no service process is left" 0 "$(service_processes)"
expect_match "stopped: Stopping, then the stop banner last" "
${stamp}Failed to get inf path location.
${stamp}Stopping
${stamp}Logging Stopped

${rule72}\$" "$(tr -d '\r' <"$log")"
expect_eq "every line ends with CR LF" "$(grep -c '' "$log")" "$(grep -c $'\r$' "$log")"

finish
