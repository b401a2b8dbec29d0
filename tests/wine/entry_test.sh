#!/usr/bin/env bash
# The real executable under Wine: exit statuses of the entry, the log file and its
# switch. Usage: entry_test.sh ruverodazaroda.exe cfgmgr32.dll
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2"

# Logging switched off: every path, no folder.
run_exe bogus
expect_eq "unknown word exits with -1 (255)" 255 "$RUN_STATUS"
run_exe stop now
expect_eq "two arguments exit with -2 (254)" 254 "$RUN_STATUS"
run_exe INSTALLS
expect_eq "a longer word is unknown" 255 "$RUN_STATUS"
# Wine's prefix spells the folder in lower case; Windows paths ignore case.
logdir="$(windows_temp)/Kelpix.log"
expect_eq "no log folder while the switch is absent" no "$(exists "$logdir")"

wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 0 /f >/dev/null 2>&1
run_exe bogus
expect_eq "switch 0: unknown word still exits with 255" 255 "$RUN_STATUS"
expect_eq "no log folder while the switch is 0" no "$(exists "$logdir")"

# Service mode from a console: the dispatcher gives up and the entry returns 0.
run_exe
expect_eq "no argument from a console exits with 0" 0 "$RUN_STATUS"

# Logging switched on.
wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 1 /f >/dev/null 2>&1
run_exe bogus
expect_eq "switch 1: unknown word exits with 255" 255 "$RUN_STATUS"
shopt -s nullglob
logs=("$logdir"/ruverodazaroda_P*.log)
expect_eq "one log file" 1 "${#logs[@]}"
log=${logs[0]:-/nonexistent}
expect_match "file named after the process ID" 'ruverodazaroda_P[0-9]+\.log$' "$log"
rule59=$(printf '=%.0s' $(seq 59))
rule72=$(printf '=%.0s' $(seq 72))
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - '
# Command substitution drops the final line end; the CR LF check covers it.
expected="^
${rule59}

${stamp}Logging Started

${stamp}Wrong argument
${stamp}Logging Stopped

${rule72}\$"
expect_match "banners and message, line by line" "$expected" "$(tr -d '\r' <"$log")"
expect_eq "every one of the 9 lines ends with CR LF" "9 9" "$(grep -c '' "$log") $(grep -c $'\r$' "$log")"

run_exe
expect_eq "service mode from a console with logging on exits with 0" 0 "$RUN_STATUS"
newest=$(ls -t "$logdir"/ruverodazaroda_P*.log | head -n 1)
session=$(tr -d '\r' <"$newest" | awk '/Logging Started/{s=""} {s=s $0 "\n"} END{printf "%s", s}')
expect_match "service mode: start banner followed directly by the stop banner" \
    "^${stamp}Logging Started

${stamp}Logging Stopped

${rule72}\$" "$session"

finish
