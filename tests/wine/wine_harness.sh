# Shared by the Wine tests: a fresh prefix with a persistent wineserver for the whole
# suite, and the executable and the stand-in cfgmgr32.dll installed in it.
. "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"

wine_stop_prefix() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
        rm -rf "$WINEPREFIX"
    fi
}

# wine_start_prefix EXE DLL [FOLDER]: sets WINEPREFIX, EXE_WIN (the Windows path of the exe)
# and EXE_DIR (its host folder). FOLDER is a Windows folder on C: for the exe, by default
# C:\RUVERODAzaroda; it may contain spaces.
wine_start_prefix() {
    local folder=${3:-'C:\RUVERODAzaroda'}
    export WINEPREFIX
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ruverodazaroda-wine.XXXXXX")
    export WINEDEBUG=-all WINEARCH=win64
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
    trap wine_stop_prefix EXIT
    # One server for the whole suite: a new server would start the auto-start services again.
    wineserver -p
    # The first command starts Wine's system processes, which keep its output handles:
    # it must have none that a later capture waits on.
    wine reg query HKCU >/dev/null 2>&1 </dev/null
    local rest=${folder#[Cc]:\\}
    EXE_DIR="$WINEPREFIX/drive_c/${rest//\\//}"
    mkdir -p "$EXE_DIR"
    cp "$1" "$EXE_DIR/ruverodazaroda.exe"
    cp "$2" "$EXE_DIR/cfgmgr32.dll"
    EXE_WIN="$folder\\ruverodazaroda.exe"
    # Only these programs get the stand-in; Wine's own processes keep the builtin. The check
    # program needs it for CM_Get_DevNode_Status, which Wine 8 does not implement.
    local program
    for program in ruverodazaroda.exe ruverodazaroda-check.exe; do
        wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$program\\DllOverrides" \
            /v cfgmgr32 /d native /f >/dev/null 2>&1 </dev/null
    done
}

# run_check WINDOWS_PATH [ARGS...]: runs the check program with its output redirected to files,
# as detection tools capture it. CHECK_OUT gets its standard output and CHECK_ERR its standard
# error, both without CR; CHECK_STATUS its exit status (modulo 256).
run_check() {
    local path=$1
    shift
    wine "$path" "$@" >"$WINEPREFIX/check.out" 2>"$WINEPREFIX/check.err" </dev/null
    CHECK_STATUS=$?
    CHECK_OUT=$(tr -d '\r' <"$WINEPREFIX/check.out")
    CHECK_ERR=$(tr -d '\r' <"$WINEPREFIX/check.err")
}

# run_exe [ARGS...]: runs the executable, RUN_STATUS gets its exit status (modulo 256).
run_exe() {
    wine "$EXE_WIN" "$@" >"$WINEPREFIX/run.out" 2>&1 </dev/null
    RUN_STATUS=$?
}

exists() {
    if [ -e "$1" ]; then echo yes; else echo no; fi
}

# The host folder of C:\windows\Temp, whatever its letter case in the prefix.
windows_temp() {
    find "$WINEPREFIX/drive_c/windows" -maxdepth 1 -iname temp -print -quit
}

# service_state: the state of the service as Wine's sc reports it (RUNNING, STOPPED, ...),
# or NONE when it is not registered.
service_state() {
    local out
    out=$(wine sc query RUVERODAzaroda 2>/dev/null </dev/null | tr -d '\r')
    if [[ "$out" =~ STATE[^0-9]*[0-9]+[[:space:]]+([A-Z_]+) ]]; then
        echo "${BASH_REMATCH[1]}"
    else
        echo NONE
    fi
}

# wait_service_state STATE [SECONDS]: until sc reports STATE (default 30 s). The limit is in
# seconds of the clock: each query of sc takes a good part of one.
wait_service_state() {
    local end=$((SECONDS + ${2:-30}))
    until [ "$(service_state)" == "$1" ]; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# eventually SECONDS COMMAND...: until COMMAND succeeds, tried every 0.1 s; fails after SECONDS.
eventually() {
    local limit=$(($1 * 10)) i
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# run_command WORD: runs the executable with WORD; COMMAND_LOG gets the messages of its own
# log, one a line, without time stamps or banners. A service process may be logging at the
# same time, so the command's part is the one new stretch of a log file that holds a whole
# run, from the start banner to the stop banner.
run_command() {
    declare -A before=()
    local f chunk runs=0 logdir rule72
    logdir="$(windows_temp)/Kelpix.log"
    rule72=$(printf '=%.0s' $(seq 72))
    for f in "$logdir"/ruverodazaroda_P*.log; do
        [ -e "$f" ] && before[$f]=$(grep -c '' "$f")
    done
    run_exe "$1"
    COMMAND_LOG=""
    for f in "$logdir"/ruverodazaroda_P*.log; do
        [ -e "$f" ] || continue
        chunk=$(tail -n +$((${before[$f]:-0} + 1)) "$f" | tr -d '\r')
        grep -q ' - Logging Started$' <<<"$chunk" || continue
        [ "${chunk##*$'\n'}" == "$rule72" ] || continue
        runs=$((runs + 1))
        COMMAND_LOG=$(sed -n 's/^[0-9-]* [0-9:]* - //p' <<<"$chunk" | grep -v '^Logging St')
    done
    [ "$runs" -eq 1 ] || COMMAND_LOG="($runs whole runs logged)"
}

# service_processes: how many processes of the prefix run the executable, as Wine lists them.
service_processes() {
    timeout 60 winedbg --command "info proc" </dev/null 2>/dev/null | grep -c "'ruverodazaroda.exe'"
}

# service_processes_left [SECONDS]: the count once it reaches 0, or after SECONDS (10): a
# service reports its stop before its process has ended.
service_processes_left() {
    local count i
    for ((i = 0; i < ${1:-10} * 4; i++)); do
        count=$(service_processes)
        [ "$count" -eq 0 ] && break
        sleep 0.25
    done
    echo "$count"
}
