#!/usr/bin/env bash
# Live figures of the real service under Wine, each beside a floor built the same way and
# measured in the same prefix and run: plug-to-repair latency, idle CPU time and memory,
# start-to-running, the start and stop commands' wall time, and the executable's size.
# Usage: bench/wine_figures.sh [BUILD_DIR]   (default build/windows, built by the windows
# preset; logging stays off, as it is by default)
set -u
cd "$(dirname "$0")/.."
build=${1:-build/windows}
. tests/wine/wine_harness.sh
PLUGS=${PLUGS:-50}
STARTS=${STARTS:-5}
IDLE_SECONDS=${IDLE_SECONDS:-30}

wine_start_prefix "$build/ruverodazaroda.exe" "$build/cfgmgr32.dll" 'C:\Program Files\RUVERODAzaroda'
. tests/wine/devices.sh
for program in floor_service floor_repair start_timer; do
    cp "$build/$program.exe" "$EXE_DIR/"
done
dir_win=${EXE_WIN%\\*}
wine reg add 'HKCU\Software\Wine\AppDefaults\floor_repair.exe\DllOverrides' /v cfgmgr32 \
    /d native /f >/dev/null 2>&1 </dev/null
stage_package
reset_standin
READER='USB\VID_F0C1&PID_0001\5&1A2B3C4D&0&1'
add_readers "$READER|USB\\VID_F0C1&PID_0001&REV_0100;USB\\VID_F0C1&PID_0001|$PACKAGE_DESC"

# median [FORMAT]: of the numbers on standard input, one a line.
median() {
    sort -n | awk -v f="${1:-%.1f}" '{v[NR] = $1}
        END {printf f "\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
maximum() { sort -n | tail -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", (b > 0) ? a / b : 0}'; }
now_ns() { date +%s%N; }

# The host process of a Windows program of this prefix: the first word of its command line
# is the program's Windows path, and its environment names the prefix.
host_pid() {
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(tr '\0' '\n' <"$proc/cmdline" 2>/dev/null | head -n 1)" == "$1" ] || continue
        tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -q -x "WINEPREFIX=$WINEPREFIX" &&
            echo "${proc#/proc/}" && return
    done
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/{print $2}' "/proc/$1/status"; }

floor_state() {
    wine sc query RuverodazarodaFloor 2>/dev/null </dev/null | tr -d '\r' |
        sed -n -E 's/.*STATE[^0-9]*[0-9]+ +([A-Z_]+).*/\1/p'
}
wait_floor_state() {
    local i
    for ((i = 0; i < 300; i++)); do
        [ "$(floor_state)" == "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

echo "Registering both services" >&2
run_exe install
wait_service_state RUNNING 60
run_exe stop
wine sc create RuverodazarodaFloor binpath= "$dir_win\\floor_service.exe" >/dev/null 2>&1 </dev/null

# --- Start-to-running: start request to the running report, no reader to repair.
echo "Start-to-running, $STARTS starts each" >&2
own_starts=()
floor_starts=()
for ((i = 0; i < STARTS; i++)); do
    own_starts+=("$(wine "$dir_win\\start_timer.exe" RUVERODAzaroda 2>/dev/null </dev/null | tr -d '\r')")
    run_exe stop
    floor_starts+=("$(wine "$dir_win\\start_timer.exe" RuverodazarodaFloor 2>/dev/null </dev/null | tr -d '\r')")
    wine sc stop RuverodazarodaFloor >/dev/null 2>&1 </dev/null
    wait_floor_state STOPPED
done
own_start=$(printf '%s\n' "${own_starts[@]}" | median)
floor_start=$(printf '%s\n' "${floor_starts[@]}" | median)

# --- The start and stop commands against this system's own service.
echo "Start and stop commands, $STARTS each" >&2
start_walls=()
stop_walls=()
for ((i = 0; i < STARTS; i++)); do
    t0=$(now_ns)
    run_exe start
    t1=$(now_ns)
    run_exe stop
    t2=$(now_ns)
    start_walls+=("$(((t1 - t0) / 1000000))")
    stop_walls+=("$(((t2 - t1) / 1000000))")
done
start_wall=$(printf '%s\n' "${start_walls[@]}" | median)
stop_wall=$(printf '%s\n' "${stop_walls[@]}" | median)

# --- Idle: both services running side by side with nothing to do.
echo "Idle, $IDLE_SECONDS s" >&2
run_exe start
wine sc start RuverodazarodaFloor >/dev/null 2>&1 </dev/null
wait_floor_state RUNNING
sleep 2
own_pid=$(host_pid "$EXE_WIN")
floor_pid=$(host_pid "$dir_win\\floor_service.exe")

own_cpu0=$(cpu_ticks "$own_pid")
floor_cpu0=$(cpu_ticks "$floor_pid")
sleep "$IDLE_SECONDS"
own_idle_ms=$((($(cpu_ticks "$own_pid") - own_cpu0) * 1000 / $(getconf CLK_TCK)))
floor_idle_ms=$((($(cpu_ticks "$floor_pid") - floor_cpu0) * 1000 / $(getconf CLK_TCK)))
own_rss=$(rss_kib "$own_pid")
floor_rss=$(rss_kib "$floor_pid")
wine sc stop RuverodazarodaFloor >/dev/null 2>&1 </dev/null

# --- Plug-to-repair: the same reader plugged in again and again, from the event handed to
# the callback until the callback returns with the reader repaired. The service, the floor
# and a twin of the floor run side by side, each with its own event folder of the stand-in,
# and take turns plug by plug, so that all meet the same load of the machine. The twin
# shows how far two identical programs differ under this procedure: the noise of the figure.
plug_once() {
    STANDIN_PROGRAM=$1
    set_reader_desc "$READER" "$UMDF2_DESC"
    send_events "7 $READER"
    wait_callbacks "$2" 60
    [ "$(reader_desc "$READER")" == "$PACKAGE_DESC" ] || echo "$1: reader not repaired" >&2
}
latencies() {
    STANDIN_PROGRAM=$1
    journal | sed -n -E 's/^callback action=7 .*handed_us=([0-9]+) returned_us=([0-9]+)$/\1 \2/p' |
        awk '{printf "%.3f\n", ($2 - $1) / 1000}'
}
# paired A B: the median of the plug-by-plug ratios of A to B.
paired() {
    paste <(latencies "$1") <(latencies "$2") | awk '$2 > 0 {printf "%.4f\n", $1 / $2}' |
        median %.3f
}
start_floor() {
    STANDIN_PROGRAM=$1
    wine "$dir_win\\$1" "$(package_inf_win)" "$PLUGS" >/dev/null 2>&1 </dev/null &
    for ((i = 0; i < 600; i++)); do
        journal | grep -q '^CM_Register_Notification' && break
        sleep 0.05
    done
}
echo "Plug-to-repair, $PLUGS plugs each" >&2
cp "$EXE_DIR/floor_repair.exe" "$EXE_DIR/floor_twin.exe"
wine reg add 'HKCU\Software\Wine\AppDefaults\floor_twin.exe\DllOverrides' /v cfgmgr32 \
    /d native /f >/dev/null 2>&1 </dev/null
programs=(ruverodazaroda.exe floor_repair.exe floor_twin.exe)
for program in "${programs[@]}"; do
    STANDIN_PROGRAM=$program reset_standin
done
run_exe start
start_floor floor_repair.exe
start_floor floor_twin.exe
# Whoever goes right after another meets what that one's driver installation left behind,
# so the order rotates every turn.
for ((i = 1; i <= PLUGS; i++)); do
    for ((k = 0; k < 3; k++)); do
        plug_once "${programs[(i + k) % 3]}" "$i"
    done
done
wait
run_exe stop
own_lat=$(latencies ruverodazaroda.exe | median)
own_lat_max=$(latencies ruverodazaroda.exe | maximum)
floor_lat=$(latencies floor_repair.exe | median)
floor_lat_max=$(latencies floor_repair.exe | maximum)
twin_lat=$(latencies floor_twin.exe | median)
twin_lat_max=$(latencies floor_twin.exe | maximum)
own_paired=$(paired ruverodazaroda.exe floor_repair.exe)
twin_paired=$(paired floor_twin.exe floor_repair.exe)
if [ -n "${VERBOSE:-}" ]; then
    for program in "${programs[@]}"; do
        echo "$program: $(latencies "$program" | sort -n | tr '\n' ' ')" >&2
    done
fi
unset STANDIN_PROGRAM

size=$(stat -c %s "$build/ruverodazaroda.exe")
printf '\n%-48s %14s %14s %8s\n' "Figure (Wine $(wine --version 2>/dev/null | sed 's/wine-//'))" \
    "ruverodazaroda" "floor" "ratio"
printf '%-48s %14s %14s %8s\n' "plug-to-repair median, ms ($PLUGS plugs)" "$own_lat" "$floor_lat" \
    "$(ratio "$own_lat" "$floor_lat")"
printf '%-48s %14s %14s %8s\n' "plug-to-repair, plug-by-plug ratio, median" "" "" "$own_paired"
printf '%-48s %14s %14s\n' "plug-to-repair max, ms" "$own_lat_max" "$floor_lat_max"
printf '%-48s %14s %14s %8s\n' "  noise: twin of the floor (1st column), median" "$twin_lat" \
    "$floor_lat" "$(ratio "$twin_lat" "$floor_lat")"
printf '%-48s %14s %14s %8s\n' "  noise: twin of the floor, plug-by-plug ratio" "" "" "$twin_paired"
printf '%-48s %14s %14s\n' "  noise: twin of the floor, max, ms" "$twin_lat_max" "$floor_lat_max"
printf '%-48s %14s %14s\n' "idle CPU time over ${IDLE_SECONDS} s, ms" "$own_idle_ms" "$floor_idle_ms"
printf '%-48s %14s %14s %8s\n' "idle resident memory, KiB" "$own_rss" "$floor_rss" \
    "$(ratio "$own_rss" "$floor_rss")"
printf '%-48s %14s %14s %8s\n' "start-to-running median, ms ($STARTS starts)" "$own_start" \
    "$floor_start" "$(ratio "$own_start" "$floor_start")"
printf '%-48s %14s\n' "start command wall time median, ms" "$start_wall"
printf '%-48s %14s\n' "stop command wall time median, ms" "$stop_wall"
printf '%-48s %14s\n' "executable size, bytes" "$size"
