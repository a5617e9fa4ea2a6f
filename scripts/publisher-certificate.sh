#!/usr/bin/env bash
# The certificate the install.exe of this build requires of its media, for make: with a signing
# key in the environment (scripts/sign.sh), that key's certificate, so that what make builds and
# signs checks media signed with the same key; BRAVIK_PUBLISHER_CERTIFICATE names one outright
# (to rebuild a release byte for byte where the key is not at hand). Writes it, in DER, to the
# file given and prints that file's absolute path; prints nothing, and removes the file, for a
# build that checks nothing.
# Usage: publisher-certificate.sh <output file>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
. "$here/signing-settings.sh"
check_settings
rm -f "$out"
mkdir -p "$(dirname "$out")"
if [ -n "${BRAVIK_PUBLISHER_CERTIFICATE:-}" ]; then
    [ -r "$BRAVIK_PUBLISHER_CERTIFICATE" ] ||
        fail "cannot read BRAVIK_PUBLISHER_CERTIFICATE=$BRAVIK_PUBLISHER_CERTIFICATE"
    openssl x509 -in "$BRAVIK_PUBLISHER_CERTIFICATE" -inform "$(head -c 11 "$BRAVIK_PUBLISHER_CERTIFICATE" |
        grep -q -- '-----BEGIN ' && echo PEM || echo DER)" -outform DER -out "$out" ||
        fail "BRAVIK_PUBLISHER_CERTIFICATE=$BRAVIK_PUBLISHER_CERTIFICATE holds no certificate"
elif [ -n "${BRAVIK_SIGN_PKCS12:-}" ]; then
    case $password_from in
        file) pass=(-passin "file:$BRAVIK_SIGN_PASSWORD_FILE") ;;
        environment) pass=(-passin fd:3) ;;
        *) pass=(-passin pass:) ;;
    esac
    # The key's own certificate, not the chain's others.
    openssl pkcs12 -in "$BRAVIK_SIGN_PKCS12" -clcerts -nokeys "${pass[@]}" 3<<<"$password" |
        openssl x509 -outform DER -out "$out" || fail "cannot read the certificate of $BRAVIK_SIGN_PKCS12"
elif [ -n "${BRAVIK_SIGN_PKCS11_MODULE:-}" ]; then
    # BRAVIK_SIGN_CERT holds the key's certificate first, then its chain.
    openssl x509 -in "$BRAVIK_SIGN_CERT" -outform DER -out "$out" 2>/dev/null ||
        openssl x509 -in "$BRAVIK_SIGN_CERT" -inform DER -outform DER -out "$out" ||
        fail "cannot read the certificate in BRAVIK_SIGN_CERT=$BRAVIK_SIGN_CERT"
else
    exit 0
fi
echo "$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
