#!/usr/bin/env bash
# The command words of the real executable under Wine's service control manager, installed
# in a folder whose path has spaces. Usage: commands_test.sh ruverodazaroda.exe cfgmgr32.dll
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2" 'C:\Program Files\RUVERODAzaroda'
wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 1 /f >/dev/null 2>&1
key='HKLM\System\CurrentControlSet\Services\RUVERODAzaroda'
description='Keeps USB smart card readers of the watched vendors on their CCID driver package, repairing any that Windows bound to its inbox driver when the service starts and whenever one is plugged in.'

# reg_value NAME: the data of one value of the service's key, as reg query prints it.
reg_value() {
    wine reg query "$key" /v "$1" 2>/dev/null </dev/null | tr -d '\r' |
        sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}

run_command install
expect_eq "install exits with 0" 0 "$RUN_STATUS"
expect_eq "install logs its success" "Service installed successfully" "$COMMAND_LOG"
expect_eq "own process" 0x10 "$(reg_value Type)"
expect_eq "automatic start" 0x2 "$(reg_value Start)"
expect_eq "normal error control" 0x1 "$(reg_value ErrorControl)"
expect_eq "LocalSystem" LocalSystem "$(reg_value ObjectName)"
expect_eq "display name" RUVERODAzaroda "$(reg_value DisplayName)"
expect_eq "quoted path with spaces, no arguments" \
    '"C:\Program Files\RUVERODAzaroda\ruverodazaroda.exe"' "$(reg_value ImagePath)"
expect_eq "no dependencies" "" "$(reg_value DependOnService)"
expect_eq "description" "$description" "$(reg_value Description)"
# Restart after 60 s twice, then nothing; reset after 86400 s. Wine 8 keeps failure actions
# nowhere, not even those of its own sc: then there is nothing to compare.
wine sc create FailureProbe binpath= 'C:\probe.exe' >/dev/null 2>&1 </dev/null
wine sc failure FailureProbe reset= 1 actions= restart/1 >/dev/null 2>&1 </dev/null
if wine reg query 'HKLM\System\CurrentControlSet\Services\FailureProbe' /v FailureActions \
    >/dev/null 2>&1 </dev/null; then
    expect_eq "failure actions" \
        80510100000000000000000003000000140000000100000060EA00000100000060EA00000000000000000000 \
        "$(reg_value FailureActions)"
else
    echo "not proven here: this Wine stores no failure actions; only the host rows prove recovery"
fi
wine sc delete FailureProbe >/dev/null 2>&1 </dev/null
expect_eq "install starts the service" RUNNING "$(wait_service_state RUNNING 30; service_state)"

run_command install
expect_eq "install again: the entry exists" "CreateService failed (1073)" "$COMMAND_LOG"
expect_eq "install again leaves the path" \
    '"C:\Program Files\RUVERODAzaroda\ruverodazaroda.exe"' "$(reg_value ImagePath)"

run_command stop
expect_eq "stop exits with 0" 0 "$RUN_STATUS"
expect_eq "stop logs its success" "Service stopped successfully" "$COMMAND_LOG"
expect_eq "stopped" STOPPED "$(service_state)"

run_command start
expect_eq "start exits with 0" 0 "$RUN_STATUS"
expect_eq "start logs the pending start and its success" \
    "Service start pending...
Service started successfully." "$COMMAND_LOG"
expect_eq "running" RUNNING "$(service_state)"

run_command stop
expect_eq "second stop logs its success" "Service stopped successfully" "$COMMAND_LOG"

run_command stop
expect_eq "stop of a stopped service" "Service is already stopped." "$COMMAND_LOG"

run_command delete
expect_eq "delete exits with 0" 0 "$RUN_STATUS"
expect_eq "delete logs its success" "Service deleted successfully" "$COMMAND_LOG"
wine reg query "$key" >/dev/null 2>&1 </dev/null
expect_eq "the entry is gone" 1 "$?"

run_command delete
expect_eq "delete again exits with 0" 0 "$RUN_STATUS"
expect_eq "delete again: no such service" "OpenService failed (1060)" "$COMMAND_LOG"

finish
