#!/usr/bin/env bash
# Signs the eight deliverables through scripts/sign.sh, as make does, with a throwaway CA and a
# code-signing certificate made here and removed afterwards, and checks what a team relies on.
#   pkcs12: a PKCS#12 file: every file verifies against the CA and carries the description; no
#           command line holds the password; the signed files pass the static checks; a signed
#           install.exe built without a key checks nothing, while the one built with the
#           publisher's certificate refuses media without a signed manifest under Wine (its runs
#           on signed media are signed_media_test.sh's); a flipped byte fails
#           verification; removing the signatures gives back the unsigned files, and so does
#           sign.sh without a key; and each failure leaves the folder as it was.
#   token:  the same key on a SoftHSM token, reached through its PKCS#11 module.
# Usage: signing_test.sh pkcs12 <build-dir> <source-dir> <jni-header-dir> <version> <time stamp> <install e2e tests>
#        signing_test.sh token <build-dir> <source-dir>
set -uo pipefail
mode=$1 build=$2 top=$3
. "$top/scripts/deliverables.sh"
sign="$top/scripts/sign.sh"
readonly PUBLISHER="Bravik throwaway publisher"
readonly PRODUCT="Bravik Product Installation"
readonly PRODUCT_URL=https://bravik.example/installer
readonly PASSWORD="pass phrase $$"
readonly E2E_CASE=Driver.TraceLogOfAWholeRunIsExact
readonly REFUSED_LINE="The installation media are not as their publisher signed them"
readonly SOFTHSM_MODULE=/usr/lib/softhsm/libsofthsm2.so
readonly DAMAGED=x64/sysnat.dll

work=$(mktemp -d "${TMPDIR:-/tmp}/bravik-signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Only the settings each case gives reach sign.sh.
unset $(compgen -e | grep '^BRAVIK_SIGN_')

failures=0
# expect <ok|fails> <what> <command>...: runs the command and reports against the expectation.
expect() {
    local want=$1 what=$2 got=fails
    shift 2
    "$@" >"$work/output" 2>&1 && got=ok
    if [ "$got" = "$want" ]; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        tail -n 25 "$work/output" | sed 's/^/     /'
        failures=$((failures + 1))
    fi
}

# same_files <folder> <file>...: those files of the folder are the unsigned build's, and no
# staging folder of sign.sh is left in it.
same_files() {
    local folder=$1 file
    shift
    for file in "$@"; do
        cmp "$work/unsigned/$file" "$folder/$file" || return 1
    done
    ! compgen -G "$folder/.signing.*"
}

# verify_all <folder>: every deliverable verifies against the throwaway CA, with its description.
verify_all() {
    local file
    for file in "${deliverables[@]}"; do
        osslsigncode verify -CAfile "$work/pki/ca.pem" -in "$1/$file" >"$work/verify" 2>&1 &&
            grep -q "Text description: $PRODUCT" "$work/verify" ||
            { echo "$file:"; cat "$work/verify"; return 1; }
    done
}

# unsign_each <signed folder> <folder>: osslsigncode remove-signature on each, as a release check.
unsign_each() {
    local file
    mkdir -p "$2/x64"
    for file in "${deliverables[@]}"; do
        osslsigncode remove-signature -in "$1/$file" -out "$2/$file" || return 1
    done
    same_files "$2" "${deliverables[@]}"
}

# unsign_by_make <folder>: sign.sh without a key, as make runs it without one.
unsign_by_make() {
    "$sign" "$1" && same_files "$1" "${deliverables[@]}"
}

# flipped_byte_fails <signed file>: a copy with one byte flipped fails verification, on its digest.
flipped_byte_fails() {
    cp "$1" "$work/flipped" && python3 -c 'import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 2] ^= 0xFF
open(sys.argv[1], "wb").write(data)' "$work/flipped" || return 1
    ! osslsigncode verify -CAfile "$work/pki/ca.pem" -in "$work/flipped" >"$work/verify" 2>&1
    local refused=$?
    cat "$work/verify"
    [ "$refused" = 0 ] && grep -q 'Calculated message digest.*MISMATCH' "$work/verify"
}

# run_e2e_case <refuses|checks-nothing> <install.exe>: the one case runs with that install.exe;
# a checking one fails it on the trace log only, having refused the unsigned media of the test.
run_e2e_case() {
    cp "$2" "$work/e2e/install.exe" || return 1
    "$top/scripts/wine-run" "$build" "$work/e2e/$(basename "$e2e_program")" --gtest_filter="$E2E_CASE" >"$work/e2e.log" 2>&1
    local status=$?
    cat "$work/e2e.log"
    if [ "$1" = refuses ]; then
        grep -q '^\[  FAILED  \] 1 test' "$work/e2e.log" && grep -qF "$REFUSED_LINE" "$work/e2e.log"
    else
        [ "$status" = 0 ] && ! grep -qF "$REFUSED_LINE" "$work/e2e.log"
    fi
}

make_pki() (
    mkdir -p "$work/pki" && cd "$work/pki" || exit 1
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 1 -subj "/CN=Bravik throwaway CA" \
        -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign &&
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=$PUBLISHER" &&
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -out signer.pem \
        -extfile <(printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n') &&
    printf '%s\n' "$PASSWORD" >password &&
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 -passout file:password
)

# The unsigned build: dist/ with any signature of an earlier make taken off, by sign.sh itself.
mkdir -p "$work/unsigned/x64"
for file in "${deliverables[@]}"; do
    cp "$top/dist/$file" "$work/unsigned/$file" || { echo "build both architectures first"; exit 1; }
done
expect ok "the unsigned build, as sign.sh leaves dist/ without a key" "$sign" "$work/unsigned"
expect ok "a throwaway CA and code-signing certificate" make_pki

if [ "$mode" = token ]; then
    export SOFTHSM2_CONF="$work/softhsm2.conf"
    mkdir -p "$work/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" >"$SOFTHSM2_CONF"
    # softhsm2-util takes PINs from a terminal or its command line; these are the test's own.
    expect ok "a SoftHSM token holding the key" bash -c "
        softhsm2-util --init-token --free --label signing --so-pin 'so $$' --pin '$PASSWORD' &&
        openssl pkcs8 -topk8 -nocrypt -in '$work/pki/signer.key' -out '$work/pki/signer.p8' &&
        softhsm2-util --import '$work/pki/signer.p8' --token signing --label codesign --id 01 --pin '$PASSWORD'"
    cp -a "$work/unsigned" "$work/signed"
    expect ok "sign.sh signs the eight through the token" env BRAVIK_SIGN_PKCS11_MODULE="$SOFTHSM_MODULE" \
        BRAVIK_SIGN_PKCS11_KEY="pkcs11:token=signing;object=codesign;type=private" \
        BRAVIK_SIGN_CERT="$work/pki/signer.pem" BRAVIK_SIGN_PASSWORD_FILE="$work/pki/password" \
        BRAVIK_SIGN_NAME="$PRODUCT" "$sign" "$work/signed"
    expect ok "each verifies against the CA" verify_all "$work/signed"
    echo "$failures failed"
    [ "$failures" = 0 ]
    exit
fi

headers=$4 version=$5 stamp=$6 e2e_program=$7
# osslsigncode as sign.sh runs it, its command lines recorded.
mkdir -p "$work/bin"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec "%s" "$@"\n' "$work/command-lines" "$(command -v osslsigncode)" \
    >"$work/bin/osslsigncode"
chmod +x "$work/bin/osslsigncode"
cp -a "$work/unsigned" "$work/signed"
expect ok "sign.sh signs the eight with a PKCS#12 file" env PATH="$work/bin:$PATH" \
    BRAVIK_SIGN_PKCS12="$work/pki/signer.p12" BRAVIK_SIGN_PASSWORD="$PASSWORD" \
    BRAVIK_SIGN_NAME="$PRODUCT" BRAVIK_SIGN_URL="$PRODUCT_URL" "$sign" "$work/signed"
expect ok "each verifies against the CA and carries the product's name" verify_all "$work/signed"
expect ok "eight signing command lines, none with the password" bash -c \
    "[ \$(grep -c '^sign ' '$work/command-lines') = 8 ] && ! grep -F -- '$PASSWORD' '$work/command-lines'"
expect ok "the x86 static checks pass on the signed files" \
    python3 "$top/tests/static/pe_check.py" x86 "$work/signed" "$headers" "$version" "$stamp"
expect ok "the x64 static checks pass on the signed files" \
    python3 "$top/tests/static/pe_check.py" x64 "$work/signed/x64" "$headers" "$version" "$stamp"

# make builds install.exe with the certificate of the key it signs with.
same_certificate() {
    local got
    got=$(env "$@" "$top/scripts/publisher-certificate.sh" "$work/publisher.der") &&
        [ "$got" = "$work/publisher.der" ] && openssl x509 -in "$work/pki/signer.pem" -outform DER | cmp - "$got"
}
expect ok "the certificate make builds install.exe with is the PKCS#12 key's" \
    same_certificate BRAVIK_SIGN_PKCS12="$work/pki/signer.p12" BRAVIK_SIGN_PASSWORD="$PASSWORD"
expect ok "or the one BRAVIK_PUBLISHER_CERTIFICATE names, to rebuild a release without its key" \
    same_certificate BRAVIK_PUBLISHER_CERTIFICATE="$work/pki/signer.pem"
expect ok "and none without a key" bash -c "[ -z \"\$('$top/scripts/publisher-certificate.sh' '$work/none.der')\" ]"

# Whether install.exe checks its media is decided when it is built: a signature put on a build
# made without a key does not make it check; the build made with the publisher's certificate
# (as make builds it with a key) checks, and refuses unsigned media.
mkdir -p "$work/e2e/stubs"
cp "$e2e_program" "$work/e2e/" && cp -r "$build/bin/stubs/"* "$work/e2e/stubs/" &&
    cp "$build/bin/sysnat.dll" "$build/bin/hivenat.dll" "$work/e2e/"
expect ok "an install.exe built without a key and signed afterwards checks nothing ($E2E_CASE passes)" \
    run_e2e_case checks-nothing "$work/signed/x64/install.exe"
expect ok "the install.exe built with the publisher's certificate refuses the unsigned media of $E2E_CASE" \
    run_e2e_case refuses "$build/bin/pinned/install.exe"

expect ok "a flipped byte fails verification" flipped_byte_fails "$work/signed/x64/install.exe"
expect ok "removing the signatures gives back the unsigned files" unsign_each "$work/signed" "$work/removed"

expect ok "a make without a key after a signed one leaves the unsigned files" unsign_by_make "$work/signed"

# Each failure fails sign.sh and leaves the folder's files unsigned as they were.
for failure in "wrong password" "damaged $DAMAGED" "misspelt setting"; do
    rm -rf "$work/failing" && cp -a "$work/unsigned" "$work/failing"
    settings=(BRAVIK_SIGN_PKCS12="$work/pki/signer.p12" BRAVIK_SIGN_PASSWORD_FILE="$work/pki/password")
    case $failure in
        wrong*) settings=(BRAVIK_SIGN_PKCS12="$work/pki/signer.p12" BRAVIK_SIGN_PASSWORD="not $PASSWORD") ;;
        damaged*) echo "not a program" >"$work/failing/$DAMAGED" ;;
        misspelt*) settings+=(BRAVIK_SIGN_TIMESTAMP=http://tsa.example/) ;;
    esac
    kept=()
    for file in "${deliverables[@]}"; do
        [[ $failure == damaged* && $file == "$DAMAGED" ]] || kept+=("$file")
    done
    expect fails "sign.sh fails on a $failure" env "${settings[@]}" "$sign" "$work/failing"
    expect ok "and leaves the folder as it was" same_files "$work/failing" "${kept[@]}"
done

echo "$failures failed"
[ "$failures" = 0 ]
