#!/usr/bin/env bash
# Builds the fuzz targets and runs each for SECONDS (default 60), starting from its seed
# corpus in fuzz/corpus/<target>/ (new inputs go to a scratch copy, not the repository).
# One line per target: "fuzz <target>: passed (...)" or "fuzz <target>: FAILED (...)"; the
# input that failed is kept in build/fuzz/findings/. Fails when any target fails.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

if ! cmake --preset fuzz >build-fuzz.configure.log 2>&1; then
    cat build-fuzz.configure.log
    exit 1
fi
rm -f build-fuzz.configure.log
cmake --build --preset fuzz -j 2 || exit 1

findings=build/fuzz/findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for source in fuzz/*_fuzzer.cpp; do
    target=$(basename "$source" _fuzzer.cpp)
    mkdir -p "$scratch/$target"
    cp fuzz/corpus/"$target"/* "$scratch/$target"/
    log="$scratch/$target.log"
    build/fuzz/fuzz/"${target}_fuzzer" -max_total_time="$seconds" -timeout=30 \
        -artifact_prefix="$findings/$target-" "$scratch/$target" >"$log" 2>&1
    result=$?
    figures=$(grep -a -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 |
        sed -E 's/^#([0-9]+)[[:space:]]+DONE[[:space:]]+(cov: [0-9]+ ft: [0-9]+).*/\1 runs, \2/')
    if [ "$result" -eq 0 ] && [ -n "$figures" ]; then
        echo "fuzz $target: passed ($figures)"
    else
        echo "fuzz $target: FAILED (exit $result)"
        grep -a -v -E '^(INFO|#[0-9]+)' "$log" | head -n 60
        status=1
    fi
done
exit $status
