#!/usr/bin/env bash
# The same sources give the same executable and package, bit for bit, whatever the folder,
# the time zone, the clock or the umask of the build: two builds of a copy of the sources
# in two unrelated folders, compared by SHA-256.
# Usage: reproducible_test.sh <source folder>
set -u
source=$1
. "$(dirname "$0")/../checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/ruverodazaroda-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A signature carries its signing time: these builds are unsigned.
unset CODE_SIGNING_CERT CODE_SIGNING_KEY
# What the build takes for the time of the sources, the same for both.
epoch=$(git -C "$source" log -1 --format=%ct 2>/dev/null || echo 1767225600)

# build FOLDER TZ UMASK: the executable and the package of a fresh copy in FOLDER.
build() {
    mkdir -p "$1"
    tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$1" -xf -
    (cd "$1" && umask "$3" && export TZ="$2" SOURCE_DATE_EPOCH="$epoch" &&
        cmake --preset windows >/dev/null &&
        cmake --build --preset windows -j2 --target ruverodazaroda ruverodazaroda-check msi >/dev/null)
}
build "$work/one" UTC 022 || { echo "FAILED: first build"; exit 1; }
sleep 1 # another second on the clock
build "$work/second/build-two" Pacific/Kiritimati 077 || { echo "FAILED: second build"; exit 1; }

for artifact in ruverodazaroda.exe ruverodazaroda-check.exe "ruverodazaroda-*-x64.msi"; do
    # shellcheck disable=SC2086
    one=$(cd "$work/one/build/windows" && sha256sum $artifact | cut -d' ' -f1)
    # shellcheck disable=SC2086
    two=$(cd "$work/second/build-two/build/windows" && sha256sum $artifact | cut -d' ' -f1)
    echo "$artifact: $one"
    expect_eq "$artifact identical in both folders" "$one" "$two"
done

for exe in "$work"/one/build/windows/ruverodazaroda{,-check}.exe; do
    expect_eq "$(basename "$exe"): no link time in the image header" "Thu Jan  1 00:00:00 1970" \
        "$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^Time\/Date\t*//p')"
    expect_eq "$(basename "$exe"): no build folder in the image" "" \
        "$( (strings -a "$exe"; strings -a -el "$exe") | grep -e "$work" -e "$source" | head -n 3)"
done
msi=$(ls "$work"/one/build/windows/ruverodazaroda-*-x64.msi)
expect_eq "the package is dated with the sources" \
    "$(LC_ALL=C TZ=UTC date -d "@$epoch" '+%a %b %e %H:%M:%S %Y')" \
    "$(LC_ALL=C TZ=UTC msiinfo suminfo "$msi" | sed -n 's/^Created: //p')"
finish
