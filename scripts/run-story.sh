#!/usr/bin/env bash
# The system's main job under Wine: builds ruverodazaroda.exe and the check program, then, in
# a throwaway Wine prefix, checks the machine, installs the service that repairs two readers,
# plugs in a third, checks again, stops and deletes the service, and prints the readers before
# and after, each step and the log.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh || exit 1
build_log=$(mktemp)
if ! { cmake --preset windows && cmake --build --preset windows -j 2; } >"$build_log" 2>&1; then
    cat "$build_log"
    rm -f "$build_log"
    exit 1
fi
rm -f "$build_log"
exec bash tests/wine/story.sh build/windows/ruverodazaroda.exe build/windows/cfgmgr32.dll \
    build/windows/ruverodazaroda-check.exe
