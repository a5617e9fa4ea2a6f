#!/usr/bin/env bash
# Signs the manifest that tools/mkmedia wrote into media (or an update folder): a detached
# CMS/PKCS#7 signature with SHA-256, media.manifest.p7s beside media.manifest, made with the key
# and certificate that sign the deliverables, named by the same settings as scripts/sign.sh (a
# PKCS#12 file, or a PKCS#11 token with its certificate file). A signed install.exe uses only
# media whose manifest carries its own publisher's signature.
# Usage: sign-media.sh <media-or-update-folder>
# BRAVIK_SIGN_NAME and BRAVIK_SIGN_URL describe programs and are not used here. With
# BRAVIK_SIGN_TIMESTAMP_URL, the signature is sent to that RFC 3161 server and the media get
# its answer as media.manifest.tsr beside the signature.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/signing-settings.sh"
media=${1:?usage: sign-media.sh <media-or-update-folder>}
readonly MANIFEST=media.manifest
readonly SIGNATURE=media.manifest.p7s
readonly TIME_STAMP=media.manifest.tsr

check_settings
[ -f "$media/$MANIFEST" ] || fail "$media/$MANIFEST is missing: write the media with tools/mkmedia"
[ -n "${BRAVIK_SIGN_PKCS12:-}${BRAVIK_SIGN_PKCS11_MODULE:-}" ] ||
    fail "signing media needs a key: set BRAVIK_SIGN_PKCS12 or BRAVIK_SIGN_PKCS11_MODULE"

# The key's material and the password stay in a folder only this user can read.
private=$(umask 077 && mktemp -d "${TMPDIR:-/tmp}/sign-media.XXXXXX")
trap 'rm -rf "$private"' EXIT
if [ "$password_from" = file ]; then
    head -n 1 "$BRAVIK_SIGN_PASSWORD_FILE" >"$private/password"
else
    printf '%s\n' "$password" >"$private/password"
fi

options=(-sign -binary -md sha256 -nosmimecap -outform DER -in "$media/$MANIFEST" -out "$private/signature")
if [ -n "${BRAVIK_SIGN_PKCS12:-}" ]; then
    openssl pkcs12 -in "$BRAVIK_SIGN_PKCS12" -passin "file:$private/password" -nodes -nocerts -out "$private/key.pem" ||
        fail "cannot read the key of $BRAVIK_SIGN_PKCS12"
    openssl pkcs12 -in "$BRAVIK_SIGN_PKCS12" -passin "file:$private/password" -nokeys -clcerts -out "$private/signer.pem" &&
        openssl pkcs12 -in "$BRAVIK_SIGN_PKCS12" -passin "file:$private/password" -nokeys -cacerts -out "$private/chain.pem" ||
        fail "cannot read the certificates of $BRAVIK_SIGN_PKCS12"
    options+=(-signer "$private/signer.pem" -inkey "$private/key.pem")
    [ -s "$private/chain.pem" ] && options+=(-certfile "$private/chain.pem")
else
    # The token is reached through the PKCS#11 engine, its module and PIN named in a
    # configuration of this run's own, in the private folder: never on a command line.
    engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
    [ -r "$engine" ] || fail "the PKCS#11 engine of openssl ($engine) is not installed (Debian: libengine-pkcs11-openssl)"
    cat >"$private/openssl.cnf" <<CNF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $BRAVIK_SIGN_PKCS11_MODULE
PIN = $(head -n 1 "$private/password")
init = 0
CNF
    export OPENSSL_CONF="$private/openssl.cnf"
    options+=(-engine pkcs11 -keyform engine -inkey "$BRAVIK_SIGN_PKCS11_KEY" -signer "$BRAVIK_SIGN_CERT")
fi
openssl cms "${options[@]}" || fail "signing $media/$MANIFEST failed; the media were not changed"
if [ -n "${BRAVIK_SIGN_TIMESTAMP_URL:-}" ]; then
    openssl cms -cmsout -inform DER -in "$private/signature" -print >/dev/null || fail "the signature cannot be read back"
    openssl ts -query -data "$private/signature" -sha256 -cert -out "$private/request" &&
        curl -sSf -H 'Content-Type: application/timestamp-query' --data-binary "@$private/request" \
            -o "$private/stamp" "$BRAVIK_SIGN_TIMESTAMP_URL" ||
        fail "the time-stamp server $BRAVIK_SIGN_TIMESTAMP_URL did not answer; the media were not changed"
    cp "$private/stamp" "$media/.$TIME_STAMP.new"
fi
cp "$private/signature" "$media/.$SIGNATURE.new"
mv -f "$media/.$SIGNATURE.new" "$media/$SIGNATURE"
[ -f "$media/.$TIME_STAMP.new" ] && mv -f "$media/.$TIME_STAMP.new" "$media/$TIME_STAMP"
echo "sign-media: signed $media/$MANIFEST (${BRAVIK_SIGN_PKCS12:+PKCS#12 file}${BRAVIK_SIGN_PKCS11_MODULE:+PKCS#11 token})"
