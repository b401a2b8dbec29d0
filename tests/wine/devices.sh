# Readers, the driver package and device events in a Wine prefix, for the Wine tests and the
# story. Source after wine_harness.sh and wine_start_prefix.
#
# Wine's setupapi lists the devices recorded under HKLM\System\CurrentControlSet\Enum, and
# its newdev really installs an INF on them; device events come from the test-only
# cfgmgr32.dll stand-in, which takes them as files in C:\standin\<program>\events.

READER_CLASS='{50dd5230-ba8a-11d1-bf5d-0000f805f530}'
UMDF2_DESC='Microsoft Usbccid Smartcard Reader (UMDF2)'
PACKAGE_DESC='USB CCID Smartcard Reader (WUDF)'
PACKAGE_FOLDER='wudfusbcciddriver.inf_amd64_3f0c9a2b7d41e6c5'
ENUM_KEY='HKLM\System\CurrentControlSet\Enum'

system32_host() {
    find "$WINEPREFIX/drive_c/windows" -maxdepth 1 -iname system32 -print -quit
}

# stage_package: the CCID package in the driver store, as Windows stages it.
stage_package() {
    local store
    store="$(system32_host)/DriverStore/FileRepository/$PACKAGE_FOLDER"
    mkdir -p "$store"
    cp "$(dirname "${BASH_SOURCE[0]}")/wudfusbcciddriver.inf" "$store/"
}

unstage_package() {
    rm -rf "$(system32_host)/DriverStore/FileRepository/$PACKAGE_FOLDER"
}

package_inf_win() {
    echo "C:\\windows\\system32\\DriverStore\\FileRepository\\$PACKAGE_FOLDER\\wudfusbcciddriver.inf"
}

# The REG_MULTI_SZ hardware-ID list "ID1;ID2" in .reg notation.
multi_sz_hex() {
    local ids=${1//;/$'\n'}
    printf '%s\n\n' "$ids" | tr '\n' '\0' | iconv -f UTF-8 -t UTF-16LE |
        od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//'
}

# add_readers "INSTANCE_ID|ID1;ID2|DESCRIPTION" ...: records the readers, all with one
# registry import, as the Plug and Play manager does before it announces them. Without a
# description, a reader that has no driver yet: no setup class either, as Windows creates the
# device node of a reader it has never seen (a "bind" event line installs the driver later).
add_readers() {
    local reg="$WINEPREFIX/drive_c/readers.reg" entry id ids desc
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        for entry in "$@"; do
            IFS='|' read -r id ids desc <<<"$entry"
            printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\%s]\r\n' "$id"
            printf '"HardwareID"=hex(7):%s\r\n' "$(multi_sz_hex "$ids")"
            [ -z "$desc" ] ||
                printf '"ClassGUID"="%s"\r\n"DeviceDesc"="%s"\r\n' "$READER_CLASS" "$desc"
            printf '\r\n'
        done
    } | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$reg"
    # Unicode, since hex(7) data in an ANSI file is read as ANSI text.
    wine reg import 'C:\readers.reg' >/dev/null 2>&1 </dev/null
    rm -f "$reg"
}

# bind_driver_key INSTANCE_ID NUMBER INF PROVIDER: the reader's driver key (the Enum key's
# Driver value names it) naming INF and its provider, and the INF in the INF folder.
bind_driver_key() {
    local key="HKLM\\System\\CurrentControlSet\\Control\\Class\\$READER_CLASS\\$2"
    wine reg add "$ENUM_KEY\\$1" /v Driver /d "$READER_CLASS\\$2" /f >/dev/null 2>&1 </dev/null
    wine reg add "$key" /v InfPath /d "$3" /f >/dev/null 2>&1 </dev/null
    wine reg add "$key" /v ProviderName /d "$4" /f >/dev/null 2>&1 </dev/null
    printf '[Version]\r\nSignature="$Windows NT$"\r\nClassGuid=%s\r\nProvider=%s\r\n' \
        "$READER_CLASS" "$4" >"$WINEPREFIX/drive_c/windows/inf/$3"
}

# set_reader_descriptions "DESCRIPTION1;DESCRIPTION2": the REG_MULTI_SZ value of the policy,
# imported from a Unicode file as add_readers does.
set_reader_descriptions() {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n%s\r\n"Descriptions"=hex(7):%s\r\n' \
        '[HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\Tessarine\KVR\Readers]' "$(multi_sz_hex "$1")" |
        { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$WINEPREFIX/drive_c/readers.reg"
    wine reg import 'C:\readers.reg' >/dev/null 2>&1 </dev/null
    rm -f "$WINEPREFIX/drive_c/readers.reg"
}

# reader_desc INSTANCE_ID: the device description as Wine's reg reports it.
reader_desc() {
    wine reg query "$ENUM_KEY\\$1" /v DeviceDesc 2>/dev/null </dev/null |
        tr -d '\r' | sed -n 's/^ *DeviceDesc *REG_SZ *//p'
}

# set_reader_desc INSTANCE_ID DESCRIPTION: what a reader shows once Windows bound it again.
set_reader_desc() {
    wine reg add "$ENUM_KEY\\$1" /v DeviceDesc /d "$2" /f >/dev/null 2>&1 </dev/null
}

# The stand-in's folder for one program: STANDIN_PROGRAM, ruverodazaroda.exe by default.
standin_host() {
    echo "$WINEPREFIX/drive_c/standin/${STANDIN_PROGRAM:-ruverodazaroda.exe}"
}

# reset_standin: no events waiting, an empty journal, registration succeeding.
reset_standin() {
    local dir
    dir=$(standin_host)
    mkdir -p "$dir/events"
    rm -f "$dir/events/"* "$dir/journal.txt" "$dir/register_result"
}

# fail_registration CONFIGRET: the next registrations fail with it ("" to succeed again).
fail_registration() {
    if [ -n "$1" ]; then
        printf '%s' "$1" >"$(standin_host)/register_result"
    else
        rm -f "$(standin_host)/register_result"
    fi
}

EVENT_BATCH=0
# send_events "ACTION INSTANCE_ID" ...: one batch, handed to the callback all at once. The
# file is moved in whole, so the stand-in never reads half of it.
send_events() {
    local dir line
    dir=$(standin_host)
    mkdir -p "$dir/events"
    EVENT_BATCH=$((EVENT_BATCH + 1))
    for line in "$@"; do printf '%s\n' "$line"; done >"$dir/batch.tmp"
    mv "$dir/batch.tmp" "$dir/events/$(printf '%06d' "$EVENT_BATCH").evt"
}

journal() {
    cat "$(standin_host)/journal.txt" 2>/dev/null
}

# wait_callbacks N [SECONDS]: until the stand-in has seen N callbacks return (default 60 s).
wait_callbacks() {
    local want=$1 limit=$((${2:-60} * 20)) i
    for ((i = 0; i < limit; i++)); do
        [ "$(journal | grep -c '^callback ')" -ge "$want" ] && return 0
        sleep 0.05
    done
    return 1
}
