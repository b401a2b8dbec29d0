#!/usr/bin/env bash
# The whole system under Wine: the real executable installed from a folder with spaces in
# its path, run as a service by Wine's services.exe, repairing readers that Wine's setupapi
# lists with the package that Wine's newdev installs; device events from the stand-in.
# Usage: system_test.sh ruverodazaroda.exe cfgmgr32.dll
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2" 'C:\Program Files\RUVERODAzaroda'
. "$here/devices.sh"

logdir="$(windows_temp)/Kelpix.log"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - '
inf_line="T CCID Inf path = $(package_inf_win)"

switch_logging() {
    wine reg add 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log' /v Enabled /t REG_DWORD /d "$1" /f \
        >/dev/null 2>&1 </dev/null
}

log_files() {
    ls "$logdir"/ruverodazaroda_P*.log 2>/dev/null
}

# Lines each log file had when the last service was deleted: a later process that gets the
# same process ID appends its session to the same file.
declare -A SEEN_LINES=()

# The log of the service process started last: the file whose new lines hold the outcome of
# its registration. Sets SERVICE_LOG and SERVICE_FROM, its first new line.
find_service_log() {
    local f from
    SERVICE_LOG=/nonexistent
    SERVICE_FROM=1
    for f in $(log_files); do
        from=$((${SEEN_LINES[$f]:-0} + 1))
        if tail -n +"$from" "$f" |
            grep -q -E 'Notification detection|Failed to register device detection'; then
            SERVICE_LOG=$f
            SERVICE_FROM=$from
            return
        fi
    done
}

# A log with CR LF ends dropped and each time stamp replaced by "T ".
plain_log() {
    tr -d '\r' <"$1" | sed -E "s/^$stamp/T /"
}

# The session of the service started last, as a plain log.
service_session() {
    plain_log "$SERVICE_LOG" | tail -n +"$SERVICE_FROM"
}

# The lines of that session after its first N.
session_after() {
    service_session | tail -n +$(($1 + 1))
}

# start_service: install (which starts the service), wait for the running report and, when
# logging is on, for the end of the first repair pass that follows it.
start_service() {
    run_exe install
    INSTALL_STATUS=$RUN_STATUS
    wait_service_state RUNNING 60
    require_eq "the installed service runs" RUNNING "$(service_state)"
    find_service_log
    [ -e "$SERVICE_LOG" ] && eventually 60 first_pass_ended
}

# A pass that finds no reader ends with its count.
first_pass_ended() {
    service_session | tail -n 1 |
        grep -q -x -E 'T (Done!|Failed to get inf path location\.|0 devices that need CCID driver fixing found\.)'
}


# stop_service: stop and delete, then remember how far the logs went.
stop_service() {
    local f
    run_exe stop
    STOP_STATUS=$RUN_STATUS
    STOP_STATE=$(service_state)
    # The service is still registered here, so "none" means that Wine's sc gave no answer
    # (seen once under load, as the service process ended): ask once more.
    if [ "$STOP_STATE" == NONE ]; then
        sleep 1
        STOP_STATE=$(service_state)
    fi
    run_exe delete
    DELETE_STATUS=$RUN_STATUS
    wait_service_state NONE 30
    require_eq "stop (exit $STOP_STATUS, then $STOP_STATE) and delete leave no service" NONE \
        "$(service_state)"
    for f in $(log_files); do
        SEEN_LINES[$f]=$(wc -l <"$f")
    done
}

handle_in_journal() {
    journal | sed -n 's/^CM_Register_Notification .* -> 0 handle=0x\([0-9A-F]*\)$/\1/p'
}

switch_logging 1
stage_package
reset_standin

# --- Install: the first pass repairs the watched readers on the UMDF2 driver.
R1='USB\VID_F0C1&PID_0001\5&1A2B3C4D&0&1'
R2='usb\vid_f0c2&pid_0002\5&1a2b3c4d&0&2'
OTHER='USB\VID_1234&PID_5678\5&1A2B3C4D&0&3'
VENDOR='USB\VID_F0C3&PID_0003\5&1A2B3C4D&0&4'
add_readers \
    "$R1|USB\\VID_F0C1&PID_0001&REV_0100;USB\\VID_F0C1&PID_0001|$UMDF2_DESC" \
    "$R2|usb\\vid_f0c2&pid_0002&rev_0200;usb\\vid_f0c2&pid_0002|MICROSOFT USBCCID SMARTCARD READER (UMDF2)" \
    "$OTHER|USB\\VID_1234&PID_5678&REV_0100;USB\\VID_1234&PID_5678|$UMDF2_DESC" \
    "$VENDOR|USB\\VID_F0C3&PID_0003&REV_0100;USB\\VID_F0C3&PID_0003|Vendor CCID Reader"
expect_eq "readers recorded before the start" "$UMDF2_DESC" "$(reader_desc "$R1")"
start_service
expect_eq "install exits with 0" 0 "$INSTALL_STATUS"
expect_match "registered by its path in a folder with spaces, quoted" \
    'ImagePath +REG_(EXPAND_)?SZ +"C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda\.exe"$' \
    "$(wine reg query 'HKLM\System\CurrentControlSet\Services\RUVERODAzaroda' /v ImagePath \
        2>/dev/null </dev/null | tr -d '\r' | grep ImagePath)"
expect_eq "upper-case reader repaired" "$PACKAGE_DESC" "$(reader_desc "$R1")"
expect_eq "lower-case reader with upper-case description repaired" "$PACKAGE_DESC" \
    "$(reader_desc "$R2")"
expect_eq "reader of another vendor left alone" "$UMDF2_DESC" "$(reader_desc "$OTHER")"
expect_eq "watched reader on another driver left alone" "Vendor CCID Reader" \
    "$(reader_desc "$VENDOR")"
expect_eq "the stand-in got one registration: size 416, all instances, instance type" \
    "CM_Register_Notification cbSize=416 Flags=2 FilterType=2 Reserved=0 union=zero -> 0" \
    "$(journal | sed 's/ handle=.*//')"
handle=$(handle_in_journal)
expect_eq "service log: banner, registration, first pass" "
===========================================================

T Logging Started

T Notification detection with 0x$handle
$inf_line
T 2 devices that need CCID driver fixing found.
T Applying CCID driver fix.
T Done!" "$(service_session)"
install_log=$(grep -l -F 'Service installed successfully' $(log_files) | head -n 1)
expect_match "install log" "^T Service installed successfully$" \
    "$(plain_log "$install_log" | grep -v -e '^$' -e '^=*$' -e 'Logging')"

# --- Plugging in: a watched reader is recorded, then announced.
P1='USB\VID_F0C4&PID_0004\6&2B3C4D5E&0&1'
lines=$(service_session | wc -l)
add_readers "$P1|USB\\VID_F0C4&PID_0004&REV_0100;USB\\VID_F0C4&PID_0004|$UMDF2_DESC"
send_events "7 $P1"
wait_callbacks 1 || require_eq "plug-in: the callback returns" 1 "$(journal | grep -c '^callback ')"
expect_eq "plugged-in reader repaired" "$PACKAGE_DESC" "$(reader_desc "$P1")"
expect_eq "plug-in: detection and one pass" "T Device detected!
$inf_line
T 1 devices that need CCID driver fixing found.
T Applying CCID driver fix.
T Done!" "$(session_after "$lines")"
expect_eq "event data size counts the instance ID and its terminator" \
    "size=$((8 + 2 * (${#P1} + 1))) result=0" \
    "$(journal | grep '^callback ' | sed -E 's/.* (size=[0-9]+ result=[0-9]+) .*/\1/')"

# --- Events that start nothing: other actions, vendors, buses, and too short an ID.
IGNORED='USB\VID_F0C3&PID_0003\6&2B3C4D5E&0&2'
add_readers "$IGNORED|USB\\VID_F0C3&PID_0003&REV_0100;USB\\VID_F0C3&PID_0003|$UMDF2_DESC"
lines=$(service_session | wc -l)
send_events "8 $IGNORED" "9 $IGNORED" "7 $OTHER" '7 HID\VID_F0C1&PID_0001\7&3C4D5E6F&0&0000' \
    '7 USB\VID_F0C1&PID'
wait_callbacks 6 || require_eq "their callbacks return" 6 "$(journal | grep -c '^callback ')"
expect_eq "started, removed, other vendor, other bus, short ID: five callbacks returned 0" \
    "5" "$(journal | grep '^callback ' | tail -n 5 | grep -c ' result=0 ')"
expect_eq "nothing logged for them" "" "$(session_after "$lines")"
expect_eq "the started and removed reader is not repaired" "$UMDF2_DESC" \
    "$(reader_desc "$IGNORED")"
wine reg delete "$ENUM_KEY\\$IGNORED" /f >/dev/null 2>&1 </dev/null

# --- A burst: twenty readers announced at the same moment.
burst=()
events=()
for i in $(seq -w 1 20); do
    id="USB\\VID_F0C1&PID_10$i\\7&4D5E6F70&0&$i"
    burst+=("$id|USB\\VID_F0C1&PID_10$i&REV_0100;USB\\VID_F0C1&PID_10$i|$UMDF2_DESC")
    events+=("7 $id")
done
lines=$(service_session | wc -l)
add_readers "${burst[@]}"
send_events "${events[@]}"
wait_callbacks 26 120
repaired=0
for entry in "${burst[@]}"; do
    [ "$(reader_desc "${entry%%|*}")" == "$PACKAGE_DESC" ] && repaired=$((repaired + 1))
done
expect_eq "every reader of the burst repaired" 20 "$repaired"
after=$(session_after "$lines")
expect_eq "burst: 20 detections, 20 package lines" "20 20" \
    "$(grep -c -x 'T Device detected!' <<<"$after") $(grep -c -x -F "$inf_line" <<<"$after")"
expect_eq "burst: every line whole" "" "$(grep -v -x -E \
    -e 'T Device detected!' -e "T CCID Inf path = .*wudfusbcciddriver\.inf" \
    -e 'T [0-9]+ devices that need CCID driver fixing found\.' \
    -e 'T Applying CCID driver fix\.' -e 'T Done!' <<<"$after")"
nonzero=$(grep -c -x -E 'T [1-9][0-9]* devices that need CCID driver fixing found\.' <<<"$after")
expect_eq "burst: a count line per pass, a fix and a Done! per pass that found readers" \
    "20 $nonzero $nonzero" "$(grep -c 'devices that need' <<<"$after") \
$(grep -c -x 'T Applying CCID driver fix\.' <<<"$after") $(grep -c -x 'T Done!' <<<"$after")"
expect_eq "burst: every reader was counted by some pass" yes \
    "$(sed -n -E 's/^T ([0-9]+) devices that need.*/\1/p' <<<"$after" |
        awk '{s += $1} END {print (s >= 20) ? "yes" : "no"}')"
overlapping=$(journal | grep '^callback action=7 id=USB\\VID_F0C1&PID_10' |
    sed -E 's/.*handed_us=([0-9]+) returned_us=([0-9]+)/\1 \2/' |
    awk '{h[NR]=$1; r[NR]=$2} END {n=0; for (i in h) for (j in h) if (i!=j && h[j]>=h[i] && h[j]<r[i]) {n++; break} print (n>1) ? "yes" : "no"}')
expect_eq "burst: passes ran at the same time" yes "$overlapping"

# --- Stop and delete.
stop_service
expect_eq "stop exits with 0" 0 "$STOP_STATUS"
expect_eq "sc reports the service stopped once stop returns" STOPPED "$STOP_STATE"
expect_eq "delete exits with 0" 0 "$DELETE_STATUS"
expect_match "service log ends with Stopping and the stop banner" "
T Stopping
T Logging Stopped

========================================================================\$" \
    "$(service_session)"
expect_eq "unregistered once, with the registered handle, after the last callback" \
    "CM_Unregister_Notification handle=0x$handle -> 0" "$(journal | tail -n 1)"
expect_eq "one unregistration" 1 "$(journal | grep -c '^CM_Unregister_Notification')"

# --- Stopped while passes run: unregistration waits for them, none starts afterwards.
reset_standin
start_service
expect_eq "restarted: install exits with 0" 0 "$INSTALL_STATUS"
lines=$(service_session | wc -l)
add_readers "${burst[@]:0:10}"
send_events "${events[@]:0:10}"
stop_service
expect_eq "stopped during passes: stop exits with 0" 0 "$STOP_STATUS"
expect_eq "stopped during passes: sc reports stopped" STOPPED "$STOP_STATE"
after=$(session_after "$lines")
started=$(journal | grep -c '^callback ')
expect_eq "stopped during passes: the last thing the stand-in saw is the unregistration" \
    "CM_Unregister_Notification" "$(journal | tail -n 1 | cut -d ' ' -f 1)"
expect_eq "stopped during passes: each callback that ran logged one whole pass" \
    "$started $started $(grep -c -x 'T Applying CCID driver fix\.' <<<"$after")" \
    "$(grep -c -x 'T Device detected!' <<<"$after") $(grep -c 'devices that need' <<<"$after") \
$(grep -c -x 'T Done!' <<<"$after")"
expect_eq "stopped during passes: one Stopping, the passes end before the stop banner" \
    "1 T Logging Stopped||========================================================================" \
    "$(grep -c -x 'T Stopping' <<<"$after") $(tail -n 3 <<<"$after" | paste -s -d '|')"

# --- Registration of notifications fails: logged, the service runs and stops.
reset_standin
fail_registration 51
F1='USB\VID_F0C2&PID_0002\8&5E6F7081&0&1'
add_readers "$F1|USB\\VID_F0C2&PID_0002&REV_0200;USB\\VID_F0C2&PID_0002|$UMDF2_DESC"
start_service
expect_eq "without notifications: install exits with 0" 0 "$INSTALL_STATUS"
expect_eq "failed registration logged with its code, then the first pass" "
===========================================================

T Logging Started

T Failed to register device detection. Error: 51
$inf_line
T 1 devices that need CCID driver fixing found.
T Applying CCID driver fix.
T Done!" "$(service_session)"
expect_eq "the first pass repaired the reader" "$PACKAGE_DESC" "$(reader_desc "$F1")"
stop_service
expect_eq "stops without notifications" "0 STOPPED 0" "$STOP_STATUS $STOP_STATE $DELETE_STATUS"
expect_match "and logs Stopping" "T Stopping
T Logging Stopped" "$(service_session)"
expect_eq "no unregistration after a failed registration" \
    "CM_Register_Notification cbSize=416 Flags=2 FilterType=2 Reserved=0 union=zero -> 51" \
    "$(journal)"
fail_registration ""

# --- The package is missing from the driver store.
reset_standin
unstage_package
M1='USB\VID_F0C3&PID_0003\8&5E6F7081&0&2'
add_readers "$M1|USB\\VID_F0C3&PID_0003&REV_0100;USB\\VID_F0C3&PID_0003|$UMDF2_DESC"
start_service
expect_eq "package missing: the pass ends after its one line" \
    "T Failed to get inf path location." \
    "$(service_session | grep -v -e '^$' -e '^=*$' -e 'Logging Started' \
        -e 'Notification detection')"
expect_eq "package missing: the reader keeps its driver" "$UMDF2_DESC" "$(reader_desc "$M1")"
stop_service
expect_eq "package missing: install, stop and delete exit with 0; stopped" "0 0 STOPPED 0" \
    "$INSTALL_STATUS $STOP_STATUS $STOP_STATE $DELETE_STATUS"
stage_package

# --- Logging switched off: the same repairs, nothing written anywhere.
reset_standin
switch_logging 0
touch "$WINEPREFIX/logging-off.mark"
sleep 1
files_before=$(log_files)
start_service
eventually 60 eval '[ "$(reader_desc "$M1")" == "$PACKAGE_DESC" ]'
expect_eq "logging off: the first pass repaired the reader" "$PACKAGE_DESC" \
    "$(reader_desc "$M1")"
Q1='USB\VID_F0C4&PID_0004\9&6F708192&0&1'
add_readers "$Q1|USB\\VID_F0C4&PID_0004&REV_0100;USB\\VID_F0C4&PID_0004|$UMDF2_DESC"
send_events "7 $Q1"
wait_callbacks 1
expect_eq "logging off: a plugged-in reader repaired" "$PACKAGE_DESC" "$(reader_desc "$Q1")"
stop_service
expect_eq "logging off: install, stop and delete exit with 0; stopped" "0 0 STOPPED 0" \
    "$INSTALL_STATUS $STOP_STATUS $STOP_STATE $DELETE_STATUS"
expect_eq "logging off: no new log file" "$files_before" "$(log_files)"
expect_eq "logging off: no file written anywhere in the prefix but the stand-in's journal" "" \
    "$(find "$WINEPREFIX/drive_c" -type f -newer "$WINEPREFIX/logging-off.mark" \
        ! -path '*/standin/*' ! -path '*/DriverStore/*' | grep -i -e kelpix -e '\.log$')"

# --- A reader that Windows binds after announcing it: announced before its driver data
# exists, found by the pass that its start runs.
reset_standin
switch_logging 1
start_service
lines=$(service_session | wc -l)
N1='USB\VID_F0C2&PID_0006\A&7081920A&0&1'
add_readers "$N1|USB\\VID_F0C2&PID_0006&REV_0100;USB\\VID_F0C2&PID_0006|"
send_events "7 $N1" "bind $N1 $UMDF2_DESC" "8 $N1"
wait_callbacks 2
expect_eq "bound later: nothing at the notice, the repair at the start" "T Device detected!
$inf_line
T 0 devices that need CCID driver fixing found.
T Device started!
$inf_line
T 1 devices that need CCID driver fixing found.
T Applying CCID driver fix.
T Done!" "$(session_after "$lines")"
expect_eq "bound later: the reader ends on the new driver" "$PACKAGE_DESC" "$(reader_desc "$N1")"
stop_service

# --- Another display language: a watched reader on the inbox driver under a translated
# description, left alone until that description is added while the service runs; and one
# whose driver key names the inbox package usbcciddriver.inf of Microsoft, repaired at the
# start with no setting.
reset_standin
T1='USB\VID_F0C1&PID_0001\B&8192A0B1&0&1' # a model that the test package lists
T2='USB\VID_F0C4&PID_0004\B&8192A0B1&0&2' # another, of a revision no other reader has
FR_DESC='Lecteur de carte à puce Microsoft Usbccid (UMDF2)'
add_readers "$T1|USB\\VID_F0C1&PID_0001&REV_0100;USB\\VID_F0C1&PID_0001|$FR_DESC" \
    "$T2|USB\\VID_F0C4&PID_0004&REV_0300;USB\\VID_F0C4&PID_0004|$FR_DESC"
bind_driver_key "$T2" 0100 UsbccidDriver.inf Microsoft
start_service
t1=$([ "$(reader_desc "$T1")" == "$PACKAGE_DESC" ] && echo repaired || echo kept)
expect_eq "translated, not added: only the reader on the inbox package is repaired" "$inf_line
T 1 devices that need CCID driver fixing found.
T 1 of them recognised by driver package usbcciddriver.inf.
T Applying CCID driver fix.
T Done! kept $PACKAGE_DESC" "$(service_session | tail -n 5) $t1 $(reader_desc "$T2")"
readers_key() {
    wine reg query 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Readers' >/dev/null 2>&1 </dev/null &&
        echo yes || echo no
}
expect_eq "install leaves the empty key that the service watches" yes "$(readers_key)"
lines=$(service_session | wc -l)
# Written as Group Policy writes it (hex(7), no restart): the reader is repaired within 20 s.
t0=$(date +%s%N)
set_reader_descriptions "Microsoft Usbccid-Smartcard-Lesegerät (UMDF2);$FR_DESC"
eventually 20 eval '[ "$(session_after "$lines" | tail -n 1)" == "T Done!" ]'
echo "added while running: repaired $((($(date +%s%N) - t0) / 1000000)) ms after the write"
expect_eq "translated, added while running: the descriptions logged, a pass, the reader repaired" \
    "T Reader descriptions = \"Microsoft Usbccid-Smartcard-Lesegerät (UMDF2)\", \"$FR_DESC\"
$inf_line
T 1 devices that need CCID driver fixing found.
T Applying CCID driver fix.
T Done! $PACKAGE_DESC" "$(session_after "$lines") $(reader_desc "$T1")"
lines=$(service_session | wc -l)
wine reg delete 'HKLM\SOFTWARE\Corvane\Tessarine\KVR\Readers' /v Descriptions /f >/dev/null 2>&1 </dev/null
eventually 20 eval '[ -n "$(session_after "$lines")" ]'
expect_eq "deleted while running: one line, no pass" "T Reader descriptions removed." \
    "$(sleep 1; session_after "$lines")"
stop_service
expect_eq "delete takes the empty key away" no "$(readers_key)"

finish
