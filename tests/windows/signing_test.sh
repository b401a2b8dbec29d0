#!/usr/bin/env bash
# The signing hook: builds of a copy of the sources without and with a throwaway
# self-signed code-signing certificate. Unsigned, nothing carries a signature; without a
# time stamp (unless a test signature) or a URL, signing is refused; signed, the executable, the package and the executable inside it verify against that certificate
# with SHA-256, the product name and the URL, a one-byte change breaks that, and the signed
# executable still passes the image checks and still runs under Wine. Signed again with the
# key and certificate in a PKCS#11 token (SoftHSM), the executable and the package verify.
# Usage: signing_test.sh <source folder> cfgmgr32.dll
set -u
source=$1
dll=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../wine/wine_harness.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/ruverodazaroda-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset CODE_SIGNING_CERT CODE_SIGNING_KEY CODE_SIGNING_KEY_PASSWORD_FILE CODE_SIGNING_TIMESTAMP_URL \
    CODE_SIGNING_URL CODE_SIGNING_PKCS11_MODULE
url=https://signing-test.example/ruverodazaroda

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
        cmake --build --preset windows -j2 --target ruverodazaroda ruverodazaroda-check msi >/dev/null)
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

refusal() {
    (cd "$work/plain" && cmake --preset windows -DCODE_SIGNING_CERT="$work/cert.pem" \
        -DCODE_SIGNING_KEY="$work/key.pem" "$@" 2>&1 >/dev/null) | tr -s ' \n' ' '
}
expect_match "no time stamp: refused" 'Signing needs CODE_SIGNING_TIMESTAMP_URL' "$(refusal -DPRODUCT_URL="$url")"
expect_match "no URL: refused" 'Signing needs the URL' "$(refusal -DCODE_SIGNING_TEST=ON -DPRODUCT_URL=)"

build "$work/signed" -DCODE_SIGNING_CERT="$work/cert.pem" -DCODE_SIGNING_KEY="$work/key.pem" \
    -DCODE_SIGNING_TEST=ON -DPRODUCT_URL="$url" ||
    { echo "FAILED: signed build"; exit 1; }
exe="$work/signed/build/windows/ruverodazaroda.exe"
msi=$(ls "$work"/signed/build/windows/ruverodazaroda-*-x64.msi)
mkdir "$work/unpacked"
(cd "$work/unpacked" && msiextract "$msi" >/dev/null)
packed=$(find "$work/unpacked" -name ruverodazaroda.exe)
check="$work/signed/build/windows/ruverodazaroda-check.exe"
packed_check=$(find "$work/unpacked" -name ruverodazaroda-check.exe)
for artifact in "$exe" "$msi" "$packed" "$check" "$packed_check"; do
    name=${artifact#"$work"/}
    expect_eq "$name verifies" verified "$(verify "$artifact")"
    details=$(tr -d '\r' <"$work/verify.out")
    expect_match "$name: SHA-256" 'Message digest algorithm *: SHA256' "$details"
    expect_match "$name: product name" 'Text description: RUVERODAzaroda' "$details"
    expect_match "$name: URL" "URL description: $url" "$details"
done
expect_eq "the package holds the signed executable" yes "$(cmp -s "$exe" "$packed" && echo yes || echo no)"
expect_eq "the package holds the signed check program" yes \
    "$(cmp -s "$check" "$packed_check" && echo yes || echo no)"

# The same key and certificate in a token; the key file gone, the token alone signs again.
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir "$work/tokens" && echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF" && echo 1234 >"$work/pin"
module=/usr/lib/softhsm/libsofthsm2.so
openssl pkcs8 -topk8 -nocrypt -in "$work/key.pem" -out "$work/key.p8" &&
    softhsm2-util --init-token --free --label signing --pin 1234 --so-pin 5678 >/dev/null &&
    softhsm2-util --import "$work/key.p8" --token signing --label code --id 01 --pin 1234 >/dev/null &&
    p11tool --provider "$module" --login --set-pin 1234 --write --load-certificate "$work/cert.pem" \
        --label code --id 01 'pkcs11:token=signing' >/dev/null 2>&1 || echo "FAILED: no token"
rm "$work/key.pem" "$work/key.p8"
cp "$exe" "$work/file-signed.exe"
# The build must make the executable again, and with the key file gone only the token can
# sign it.
rm "$exe"
build "$work/signed" -DCODE_SIGNING_PKCS11_MODULE="$module" -DCODE_SIGNING_KEY_PASSWORD_FILE="$work/pin" \
    '-DCODE_SIGNING_CERT=pkcs11:token=signing;object=code;type=cert' \
    '-DCODE_SIGNING_KEY=pkcs11:token=signing;object=code;type=private' || echo "FAILED: signed in the token"
for artifact in "$exe" "$msi"; do
    expect_eq "signed in the token: ${artifact##*/} verifies" verified "$(verify "$artifact")"
done
expect_eq "signed anew" no "$(cmp -s "$exe" "$work/file-signed.exe" && echo yes || echo no)"

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
