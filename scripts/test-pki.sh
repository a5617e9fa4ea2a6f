#!/usr/bin/env bash
# Makes the throwaway keys of the signing tests in a build tree: a CA, the publisher whose
# certificate the tests' checking install.exe is built with, and someone else, each a key, a
# certificate (PEM and DER) and a PKCS#12 file under the password in "password". Nothing of it
# leaves the build tree or signs anything that ships.
# Usage: test-pki.sh <folder>
set -euo pipefail
out=$1
rm -rf "$out.partial" && mkdir -p "$out.partial" && cd "$out.partial"
printf 'throwaway %s\n' "$RANDOM$RANDOM" >password
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Bravik throwaway CA" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign 2>/dev/null
for signer in signer:"Bravik throwaway publisher" other:"Someone else"; do
    name=${signer%%:*}
    openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=${signer#*:}" 2>/dev/null
    openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -out "$name.pem" \
        -extfile <(printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n') \
        2>/dev/null
    openssl x509 -in "$name.pem" -outform DER -out "$name.der"
    openssl pkcs12 -export -inkey "$name.key" -in "$name.pem" -certfile ca.pem -out "$name.p12" -passout file:password
done
cd .. && rm -rf "$out" && mv "$out.partial" "$out"
