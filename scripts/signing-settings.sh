# The signing settings that scripts/sign.sh and scripts/sign-media.sh share: the key (a PKCS#12
# file or a PKCS#11 token), its password and the description, checked the same way for both.
# Sourced; it takes BRAVIK_SIGN_PASSWORD out of the environment into the shell variable
# "password", and "password_from" says where the password came from (none, environment, file).

readonly SETTINGS_PREFIX=BRAVIK_SIGN_
readonly KNOWN_SETTINGS=(BRAVIK_SIGN_PKCS12 BRAVIK_SIGN_PKCS11_MODULE BRAVIK_SIGN_PKCS11_KEY BRAVIK_SIGN_CERT
                         BRAVIK_SIGN_PASSWORD_FILE BRAVIK_SIGN_PASSWORD BRAVIK_SIGN_NAME BRAVIK_SIGN_URL
                         BRAVIK_SIGN_TIMESTAMP_URL)

fail() {
    echo "sign: $*" >&2
    exit 1
}

# The password is kept in this shell alone: no program started from here inherits it.
password=""
password_from=none
if [ -n "${BRAVIK_SIGN_PASSWORD+set}" ]; then
    password=$BRAVIK_SIGN_PASSWORD
    password_from=environment
    unset BRAVIK_SIGN_PASSWORD
fi

# Refuses settings that would sign other than the team meant: a misspelt name, a half-named key,
# two keys, a password given twice. An unsigned build must never pass for a signed one.
check_settings() {
    local name known setting
    for name in $(compgen -e); do
        [[ $name == "$SETTINGS_PREFIX"* ]] || continue
        known=0
        for setting in "${KNOWN_SETTINGS[@]}"; do
            [ "$name" = "$setting" ] && known=1
        done
        [ "$known" = 1 ] || fail "unknown setting $name (known: ${KNOWN_SETTINGS[*]})"
    done
    if [ -n "${BRAVIK_SIGN_PKCS12:-}" ] && [ -n "${BRAVIK_SIGN_PKCS11_MODULE:-}" ]; then
        fail "BRAVIK_SIGN_PKCS12 and BRAVIK_SIGN_PKCS11_MODULE name two keys; set one"
    fi
    if [ -n "${BRAVIK_SIGN_PASSWORD_FILE:-}" ] && [ "$password_from" = environment ]; then
        fail "BRAVIK_SIGN_PASSWORD_FILE and BRAVIK_SIGN_PASSWORD both give the password; set one"
    fi
    if [ -n "${BRAVIK_SIGN_PKCS12:-}" ]; then
        [ -r "$BRAVIK_SIGN_PKCS12" ] || fail "cannot read the PKCS#12 file BRAVIK_SIGN_PKCS12=$BRAVIK_SIGN_PKCS12"
        for name in BRAVIK_SIGN_PKCS11_KEY BRAVIK_SIGN_CERT; do
            [ -z "${!name:-}" ] || fail "$name belongs to a token; a PKCS#12 file holds its own certificate"
        done
    elif [ -n "${BRAVIK_SIGN_PKCS11_MODULE:-}" ]; then
        [ -r "$BRAVIK_SIGN_PKCS11_MODULE" ] ||
            fail "cannot read the PKCS#11 module BRAVIK_SIGN_PKCS11_MODULE=$BRAVIK_SIGN_PKCS11_MODULE"
        [ -n "${BRAVIK_SIGN_PKCS11_KEY:-}" ] || fail "BRAVIK_SIGN_PKCS11_KEY must name the key on the token"
        [ -r "${BRAVIK_SIGN_CERT:-}" ] || fail "BRAVIK_SIGN_CERT must name a readable certificate file of the token's key"
    else
        for name in $(compgen -e); do
            [[ $name == "$SETTINGS_PREFIX"* ]] &&
                fail "$name is set but no key is: set BRAVIK_SIGN_PKCS12 or BRAVIK_SIGN_PKCS11_MODULE"
        done
        [ "$password_from" = none ] ||
            fail "BRAVIK_SIGN_PASSWORD is set but no key is: set BRAVIK_SIGN_PKCS12 or BRAVIK_SIGN_PKCS11_MODULE"
    fi
    if [ -n "${BRAVIK_SIGN_PASSWORD_FILE:-}" ]; then
        [ -r "$BRAVIK_SIGN_PASSWORD_FILE" ] || fail "cannot read BRAVIK_SIGN_PASSWORD_FILE=$BRAVIK_SIGN_PASSWORD_FILE"
        password_from=file
    fi
    return 0
}

