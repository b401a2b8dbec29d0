#!/usr/bin/env bash
# The signing hook: builds of a copy of the sources without and with a throwaway
# self-signed code-signing certificate. Unsigned, nothing carries a signature; signed, the
# executable, the package and the executable inside it verify against that certificate
# with SHA-256, the product name and the URL, a one-byte change breaks that, and the signed
# executable still passes the image checks and still runs under Wine.
# Usage: signing_test.sh <source folder> cfgmgr32.dll
set -u
source=$1
dll=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../wine/wine_harness.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/ruverodazaroda-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset CODE_SIGNING_CERT CODE_SIGNING_KEY CODE_SIGNING_KEY_PASSWORD_FILE CODE_SIGNING_TIMESTAMP_URL

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=RUVERODAzaroda test signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 ||
    { echo "FAILED: no certificate"; exit 1; }

# build FOLDER [CMAKE ARGS...]: the executable and the package of a fresh copy in FOLDER.
build() {
    local folder=$1
    shift
    mkdir -p "$folder"
    tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$folder" -xf -
    (cd "$folder" && cmake --preset windows "$@" >/dev/null &&
        cmake --build --preset windows -j2 --target ruverodazaroda msi >/dev/null)
}
verify() {
    if osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.out" 2>&1; then
        echo verified
    else
        echo refused
    fi
}

build "$work/plain" || { echo "FAILED: unsigned build"; exit 1; }
for artifact in "$work"/plain/build/windows/{ruverodazaroda.exe,ruverodazaroda-*-x64.msi}; do
    expect_eq "unsigned build: $(basename "$artifact") carries no signature" refused "$(verify "$artifact")"
done

build "$work/signed" -DCODE_SIGNING_CERT="$work/cert.pem" -DCODE_SIGNING_KEY="$work/key.pem" ||
    { echo "FAILED: signed build"; exit 1; }
exe="$work/signed/build/windows/ruverodazaroda.exe"
msi=$(ls "$work"/signed/build/windows/ruverodazaroda-*-x64.msi)
mkdir "$work/unpacked"
(cd "$work/unpacked" && msiextract "$msi" >/dev/null)
packed=$(find "$work/unpacked" -name ruverodazaroda.exe)
for artifact in "$exe" "$msi" "$packed"; do
    name=${artifact#"$work"/}
    expect_eq "$name verifies" verified "$(verify "$artifact")"
    details=$(tr -d '\r' <"$work/verify.out")
    expect_match "$name: SHA-256" 'Message digest algorithm *: SHA256' "$details"
    expect_match "$name: product name" 'Text description: RUVERODAzaroda' "$details"
    expect_match "$name: URL" 'URL description: https://' "$details"
done
expect_eq "the package holds the signed executable" yes "$(cmp -s "$exe" "$packed" && echo yes || echo no)"

# One byte changed: in the executable's code, and in the package's string pool.
flip() {
    local byte
    byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
cp "$exe" "$work/changed.exe"
flip "$work/changed.exe" 4096
expect_eq "a changed byte in the executable breaks the signature" refused "$(verify "$work/changed.exe")"
cp "$msi" "$work/changed.msi"
flip "$work/changed.msi" "$(grep -obaF 'RUVERODAzaroda' "$msi" | head -n 1 | cut -d: -f1)"
expect_eq "a changed byte in the package breaks the signature" refused "$(verify "$work/changed.msi")"

image=$(bash "$here/exe_check.sh" "$exe")
expect_match "the signed executable passes the image checks" ' 0 failed$' "$image"

if command -v wine >/dev/null; then
    wine_start_prefix "$exe" "$dll"
    trap 'wine_stop_prefix; rm -rf "$work"' EXIT
    run_exe bogus
    expect_eq "the signed executable runs under Wine: unknown word exits with 255" 255 "$RUN_STATUS"
fi
finish
