#!/usr/bin/env bash
# Signs the eight deliverables of a dist folder with Authenticode (osslsigncode, SHA-256) when the
# environment names a key, and leaves them unsigned when it names none. All or nothing: each file
# is signed as a copy, and the copies replace the originals only once all eight are signed, so a
# failure leaves the folder as it was and fails the build.
# Usage: sign.sh <dist-dir>
#
# The key, one of two kinds:
#   BRAVIK_SIGN_PKCS12          a PKCS#12 file holding the key and its certificate chain
#   BRAVIK_SIGN_PKCS11_MODULE   the PKCS#11 module of a token (a hardware key), with
#     BRAVIK_SIGN_PKCS11_KEY    the key on it: its id in hex or a pkcs11: URI, and
#     BRAVIK_SIGN_CERT          the key's certificate and chain, in a PEM or DER file
# Its password (the PKCS#12 password or the token's PIN), never on a command line:
#   BRAVIK_SIGN_PASSWORD_FILE   a file whose first line is the password, or
#   BRAVIK_SIGN_PASSWORD        the password itself
# Optional:
#   BRAVIK_SIGN_NAME, BRAVIK_SIGN_URL   the signature's description: product name and its URL
#   BRAVIK_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server, so that the signature stays
#                               valid after the certificate expires
# Without a key, signatures that an earlier build left in the folder come off, so that the
# folder is always what the configuration asks for.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/deliverables.sh"
dist=${1:?usage: sign.sh <dist-dir>}

readonly DIGEST=sha256
readonly STAGING_PATTERN=.signing.XXXXXX
. "$here/signing-settings.sh"

# The osslsigncode options of the configured key and description, without the password.
sign_options=()
collect_sign_options() {
    sign_options=(-h "$DIGEST")
    if [ -n "${BRAVIK_SIGN_PKCS12:-}" ]; then
        sign_options+=(-pkcs12 "$BRAVIK_SIGN_PKCS12")
    else
        sign_options+=(-pkcs11module "$BRAVIK_SIGN_PKCS11_MODULE" -certs "$BRAVIK_SIGN_CERT"
                       -key "$BRAVIK_SIGN_PKCS11_KEY")
    fi
    [ "$password_from" = file ] && sign_options+=(-readpass "$BRAVIK_SIGN_PASSWORD_FILE")
    [ -n "${BRAVIK_SIGN_NAME:-}" ] && sign_options+=(-n "$BRAVIK_SIGN_NAME")
    [ -n "${BRAVIK_SIGN_URL:-}" ] && sign_options+=(-i "$BRAVIK_SIGN_URL")
    [ -n "${BRAVIK_SIGN_TIMESTAMP_URL:-}" ] && sign_options+=(-ts "$BRAVIK_SIGN_TIMESTAMP_URL")
    return 0
}

# sign_copy <in> <out>: a password from the environment reaches osslsigncode through a pipe.
sign_copy() {
    if [ "$password_from" = environment ]; then
        osslsigncode sign "${sign_options[@]}" -readpass <(printf '%s' "$password") -in "$1" -out "$2"
    else
        osslsigncode sign "${sign_options[@]}" -in "$1" -out "$2"
    fi
}

# unsign_copy <in> <out>
unsign_copy() {
    osslsigncode remove-signature -in "$1" -out "$2"
}

# The deliverables that carry a signature (a certificate table in the PE directories).
list_signed_files() {
    python3 - "$dist" "${deliverables[@]}" <<'PY'
import os, struct, sys
SECURITY_DIRECTORY = 4
dist = sys.argv[1]
for name in sys.argv[2:]:
    with open(os.path.join(dist, name), "rb") as f:
        data = f.read(4096)
    nt, = struct.unpack_from("<I", data, 0x3C) if data[:2] == b"MZ" else (0,)
    if data[nt:nt + 4] != b"PE\0\0":
        sys.exit("sign: %s is not a Windows program or library" % os.path.join(dist, name))
    magic, = struct.unpack_from("<H", data, nt + 24)
    directories = nt + 24 + (96 if magic == 0x10B else 112)
    _, size = struct.unpack_from("<II", data, directories + 8 * SECURITY_DIRECTORY)
    if size:
        print(name)
PY
}

# apply_to_copies <action> <verb> <file>...: runs the action on a copy of each file in a staging
# folder inside dist (so that the renames stay on one file system), then puts all of them in
# place, or none when one fails.
apply_to_copies() {
    local action=$1 verb=$2 file output
    shift 2
    staging=$(mktemp -d "$dist/$STAGING_PATTERN")
    trap 'rm -rf "$staging"' EXIT
    for file in "$@"; do
        mkdir -p "$staging/$(dirname "$file")"
        if ! output=$("$action" "$dist/$file" "$staging/$file" 2>&1); then
            printf '%s\n' "$output" >&2
            fail "$verb $dist/$file failed; no file in $dist was changed"
        fi
        chmod --reference="$dist/$file" "$staging/$file"
    done
    for file in "$@"; do
        mv -f "$staging/$file" "$dist/$file"
    done
}

check_settings
for file in "${deliverables[@]}"; do
    [ -f "$dist/$file" ] || fail "$dist/$file is missing; build both architectures first"
done
if [ -z "${BRAVIK_SIGN_PKCS12:-}${BRAVIK_SIGN_PKCS11_MODULE:-}" ]; then
    signed_list=$(list_signed_files) || exit 1
    mapfile -t signed < <(printf '%s' "$signed_list")
    if [ "${#signed[@]}" -gt 0 ]; then
        apply_to_copies unsign_copy "removing the signature of" "${signed[@]}"
        echo "sign: signing not configured: removed the signatures of an earlier build from ${#signed[@]} files"
    else
        echo "sign: signing not configured (BRAVIK_SIGN_PKCS12 or BRAVIK_SIGN_PKCS11_MODULE); $dist stays unsigned"
    fi
    exit 0
fi
collect_sign_options
apply_to_copies sign_copy signing "${deliverables[@]}"
echo "sign: signed the ${#deliverables[@]} deliverables in $dist (${BRAVIK_SIGN_PKCS12:+PKCS#12 file}${BRAVIK_SIGN_PKCS11_MODULE:+PKCS#11 token})"
