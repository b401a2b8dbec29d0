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

# The exit code sc query reports, e.g. "WIN32_EXIT_CODE : 0 (0x0)" gives 0.
exit_code() {
    wine sc query RUVERODAzaroda 2>/dev/null </dev/null | tr -d '\r' |
        awk '$1 == "WIN32_EXIT_CODE" { print $3 }'
}

wine sc create RUVERODAzaroda binPath= "$EXE_WIN" >/dev/null 2>&1 </dev/null
expect_eq "registered service is stopped" STOPPED "$(service_state)"
wine sc start RUVERODAzaroda >/dev/null 2>&1 </dev/null
wait_service_state RUNNING
expect_eq "sc start reaches RUNNING" RUNNING "$(service_state)"
expect_eq "while running it reports exit code 0" 0 "$(exit_code)"
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

wine sc stop RUVERODAzaroda >/dev/null 2>&1 </dev/null
wait_service_state STOPPED
expect_eq "sc stop reaches STOPPED" STOPPED "$(service_state)"
expect_eq "stopped with exit code 0" 0 "$(exit_code)"
expect_eq "no service process is left" 0 "$(service_processes_left 30)"
expect_match "stopped: Stopping, then the stop banner last" "
${stamp}Failed to get inf path location.
${stamp}Stopping
${stamp}Logging Stopped

${rule72}\$" "$(tr -d '\r' <"$log")"
expect_eq "every line ends with CR LF" "$(grep -c '' "$log")" "$(grep -c $'\r$' "$log")"

finish
