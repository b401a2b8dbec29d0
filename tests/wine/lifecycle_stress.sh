#!/usr/bin/env bash
# The whole life of the service, many times over, with the real executable under Wine's
# service control manager: install (which starts it), stop, start, stop, delete. After each
# cycle no registration and no process of the executable may be left, and every command must
# have exited with 0 and logged exactly its own messages. Not part of the regular test run; it takes minutes.
# Usage: lifecycle_stress.sh ruverodazaroda.exe cfgmgr32.dll [CYCLES, default 50]
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"
cycles=${3:-50}

wine_start_prefix "$1" "$2"
wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 1 /f \
    >/dev/null 2>&1 </dev/null
logdir="$(windows_temp)/Kelpix.log"
key='HKLM\System\CurrentControlSet\Services\RUVERODAzaroda'

started=$(date +%s)
for cycle in $(seq "$cycles"); do
    run_command install
    expect_eq "$cycle: install" "0 Service installed successfully" "$RUN_STATUS $COMMAND_LOG"
    expect_eq "$cycle: install starts the service" RUNNING "$(wait_service_state RUNNING 30; service_state)"
    run_command stop
    expect_eq "$cycle: stop" "0 Service stopped successfully" "$RUN_STATUS $COMMAND_LOG"
    expect_eq "$cycle: stopped" STOPPED "$(service_state)"
    run_command start
    expect_eq "$cycle: start" "0 Service start pending...
Service started successfully." "$RUN_STATUS $COMMAND_LOG"
    expect_eq "$cycle: running" RUNNING "$(service_state)"
    run_command stop
    expect_eq "$cycle: stop again" "0 Service stopped successfully" "$RUN_STATUS $COMMAND_LOG"
    run_command delete
    expect_eq "$cycle: delete" "0 Service deleted successfully" "$RUN_STATUS $COMMAND_LOG"
    wine reg query "$key" >/dev/null 2>&1 </dev/null
    expect_eq "$cycle: no registration is left" 1 "$?"
    expect_eq "$cycle: the manager knows no such service" NONE "$(service_state)"
    expect_eq "$cycle: no process of the executable is left" 0 "$(service_processes_left)"
done
elapsed=$(($(date +%s) - started))

# Every process, command or service, logged a whole session, and every service process
# registered its trigger, stopped and logged nothing else.
all=$(cat "$logdir"/ruverodazaroda_P*.log | tr -d '\r')
expect_eq "whole sessions" "$(grep -c ' - Logging Started$' <<<"$all")" \
    "$(grep -c ' - Logging Stopped$' <<<"$all")"
expect_eq "processes logged" $((cycles * 7)) "$(grep -c ' - Logging Started$' <<<"$all")"
expect_eq "service processes that registered the trigger" $((cycles * 2)) \
    "$(grep -c ' - Notification detection with 0x[0-9A-F]\{16\}$' <<<"$all")"
expect_eq "service processes that stopped" $((cycles * 2)) "$(grep -c ' - Stopping$' <<<"$all")"
expect_eq "first passes" $((cycles * 2)) "$(grep -c ' - Failed to get inf path location.$' <<<"$all")"
echo "$cycles cycles in $elapsed s ($((elapsed * 1000 / cycles)) ms a cycle)"
finish
