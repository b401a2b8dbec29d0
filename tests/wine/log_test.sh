#!/usr/bin/env bash
# The log under Wine: many threads at once lose no message and tear none; links planted at
# the log file's name from the host side are refused and what they point to is unchanged.
# Usage: log_test.sh ruverodazaroda.exe cfgmgr32.dll log_stress.exe
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2"
cp "$3" "$WINEPREFIX/drive_c/RUVERODAzaroda/log_stress.exe"
stress='C:\RUVERODAzaroda\log_stress.exe'
wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d 1 /f \
    >/dev/null 2>&1 </dev/null
logdir="$(windows_temp)/Kelpix.log"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - '

# 8 threads x 500 messages.
wine "$stress" stress >"$WINEPREFIX/run.out" 2>&1 </dev/null
expect_eq "stress run exits with 0" 0 "$?"
shopt -s nullglob
logs=("$logdir"/ruverodazaroda_P*.log)
expect_eq "one log file" 1 "${#logs[@]}"
log=${logs[0]:-/nonexistent}
line="^${stamp}thread [0-7] message [0-9]+ of a longer line to make tearing likely"$'\r$'
expect_eq "4000 whole message lines" 4000 "$(grep -Ec "$line" "$log")"
expect_eq "each of the 4000 messages once" 4000 \
    "$(grep -Eo 'thread [0-7] message [0-9]+ ' "$log" | sort -u | wc -l)"
expect_eq "banner and messages, nothing else: 4005 lines, all ending in CR LF" "4005 4005" \
    "$(grep -c '' "$log") $(grep -c $'\r$' "$log")"
rm -f "$log"

# plant KIND: runs the program up to its message, with KIND planted at its log file's name
# (none, hard, symbolic, or case: its own file under a name in other letter case); sets
# PLANTED_AT to the host path of what is at that name.
plant() {
    local path name
    coproc STRESS { wine "$stress" wait 2>/dev/null; }
    IFS= read -r path <&"${STRESS[0]}"
    name=${path##*\\}
    name=${name%$'\r'}
    PLANTED_AT="$logdir/$name"
    case $1 in
    hard) rm -f "$PLANTED_AT" && ln "$victim" "$PLANTED_AT" ;;
    symbolic) rm -f "$PLANTED_AT" && ln -s "$victim" "$PLANTED_AT" ;;
    case) rm -f "$PLANTED_AT" && PLANTED_AT="$logdir/${name^^}" && : >"$PLANTED_AT" ;;
    esac
    echo go >&"${STRESS[1]}"
    wait "$STRESS_PID"
}

plant none
expect_match "without a plant the message is written" "${stamp}planted"$'\r$' "$(cat "$PLANTED_AT")"
rm -f "$PLANTED_AT"
plant case
expect_match "a file whose name differs only in letter case is the log's own" \
    "^${stamp}planted"$'\r$' "$(cat "$PLANTED_AT")"
rm -f "$PLANTED_AT"

# Each link its own victim, so that one that was written through shows in its own check only.
for kind in hard symbolic; do
    victim="$WINEPREFIX/drive_c/victim-$kind.txt"
    printf 'not the log\r\n' >"$victim"
    plant "$kind"
    echo "info: Wine reports the $kind link as: $(wine "$stress" probe \
        "C:\\windows\\Temp\\Kelpix.log\\${PLANTED_AT##*/}" 2>/dev/null </dev/null | tr -d '\r')"
    expect_eq "$kind link: the file it points to is unchanged" \
        "$(printf 'not the log\r\n')" "$(cat "$victim")"
    rm -f "$PLANTED_AT"
done

finish
