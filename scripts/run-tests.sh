#!/usr/bin/env bash
# Every test: unit tests on the simulated Windows (plain, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer), then the Windows build and its tests
# under Wine, then a short run of each fuzz target. Installs what it needs first.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh || exit 1

total_passed=0
total_failed=0
status=0
for preset in host host-asan host-tsan windows; do
    echo "=== $preset"
    if ! cmake --preset "$preset" >"build-$preset.configure.log" 2>&1; then
        cat "build-$preset.configure.log"
        status=1
        continue
    fi
    rm -f "build-$preset.configure.log"
    if ! cmake --build --preset "$preset" -j 2; then
        status=1
        continue
    fi
    out=$(mktemp)
    ctest --preset "$preset" -j 2 2>&1 | tee "$out"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1)
    if [ -z "$line" ]; then
        status=1
    else
        failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        total_passed=$((total_passed + all - failed))
        total_failed=$((total_failed + failed))
    fi
    rm -f "$out"
done
# Each fuzz target counts as one test: 20 seconds under AddressSanitizer and
# UndefinedBehaviorSanitizer without a finding.
echo "=== fuzz"
out=$(mktemp)
fuzz/run.sh 20 2>&1 | tee "$out"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
targets=$(ls fuzz/*_fuzzer.cpp | wc -l)
passed=$(grep -c -E '^fuzz [a-z_]+: passed' "$out")
total_passed=$((total_passed + passed))
total_failed=$((total_failed + targets - passed))
rm -f "$out"
[ -x build/windows/ruverodazaroda.exe ] || [ -f build/windows/ruverodazaroda.exe ] || status=1
echo "$total_passed passed, $total_failed failed"
exit $status
