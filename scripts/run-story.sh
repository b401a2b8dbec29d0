#!/usr/bin/env bash
# The system's main job under Wine: builds ruverodazaroda.exe and runs it in a fresh Wine
# prefix through the paths that exist so far, printing what it logged.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh || exit 1
cmake --preset windows >/dev/null && cmake --build --preset windows -j 2 || exit 1
exec bash tests/wine/story.sh build/windows/ruverodazaroda.exe build/windows/cfgmgr32.dll
