#!/usr/bin/env bash
# Signed media, made from the demo's inputs with tools/mkmedia and scripts/sign-media.sh and the
# build tree's throwaway keys (scripts/test-pki.sh), checked on the host with openssl and mkmedia
# check, then installed under Wine by this lane's install.exe built with the throwaway
# publisher's certificate (bin/pinned, as make builds it with a signing key) and by the one
# built without, one case per row.
# Usage: signed_media_test.sh <build-dir> <source-dir>
set -uo pipefail
build=$(cd "$1" && pwd) top=$(cd "$2" && pwd)
. "$top/scripts/wine-env.sh" "$build"
skip_unless_lane_runs
readonly WIN_ROOT='C:\smtest'
readonly NOT_AS_SIGNED="Media Not As Signed"
dist="$top/dist/$([ "$lane" = x64 ] && echo x64)"
"$top/scripts/wine-prefix.sh" "$build" >/dev/null
drive_c="$WINEPREFIX/drive_c"
root="$drive_c/smtest"
common="$drive_c/Program Files/Common Files/bravik"
work=$(mktemp -d "${TMPDIR:-/tmp}/bravik-signed-media.XXXXXX")
trap 'rm -rf "$work" "$root"; wineserver -k 2>/dev/null' EXIT
rm -rf "$root" && mkdir -p "$root"
unset $(compgen -e | grep '^BRAVIK_SIGN_')

failures=0
# expect <ok|fails> <what> <command>...
expect() {
    local want=$1 what=$2 got=fails
    shift 2
    "$@" >"$work/output" 2>&1 && got=ok
    if [ "$got" = "$want" ]; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        tail -n 30 "$work/output" | sed 's/^/     /'
        failures=$((failures + 1))
    fi
}

# The build tree's throwaway CA, publisher ("signer") and someone else ("other").
make_pki() {
    cp -r "$build/test-pki" "$work/pki" && PASSWORD=$(head -n 1 "$work/pki/password")
}

# The demo's media: the sample runtime with the stand-in launcher, the two sample products, the
# sample media files and a small splash bitmap.
make_media() {
    cp -r "$top/samples/archives/jre" "$work/runtime" && cp "$build/bin/stubs/launch.exe" "$work/runtime/bin/" &&
    python3 -c 'import struct, sys
pixels = bytes(4 * 4 * 3)
open(sys.argv[1], "wb").write(struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54) +
    struct.pack("<IiiHHIIiiII", 40, 4, 4, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)' "$work/splash.bmp" &&
    cp -r "$top/samples/media" "$work/media-files" && mkdir -p "$work/media-files/kp/ext" &&
    cp "$top/samples/media/kp/lib/extra.jar" "$work/media-files/kp/ext/named.jar" &&
    "$top/tools/mkmedia" --arch "$lane" --dist "$dist" --runtime "$work/runtime" \
        --product "$top/samples/archives/product" --product "$top/samples/archives/docs" \
        --class com.bravik.application.install.Installer --jvm-option -Xmx256m --parameter "-mode install" \
        --classpath 'kp\classes' --classpath 'kp\ext\named.jar' --path 'kp\tools' \
        --splash "$work/splash.bmp" --media-files "$work/media-files" --output "$work/media" --stamp 1700000000
}

sign_media() {
    env BRAVIK_SIGN_PKCS12="$work/pki/$2.p12" BRAVIK_SIGN_PASSWORD_FILE="$work/pki/password" "$top/scripts/sign-media.sh" "$1"
}

cms_verify() {
    openssl cms -verify -binary -inform DER -in "$1/media.manifest.p7s" -content "$1/media.manifest" \
        -CAfile "$work/pki/ca.pem" -purpose any -out /dev/null
}

flip_byte() {
    python3 -c 'import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[int(sys.argv[2]) if len(sys.argv) > 2 else len(data) // 2] ^= 0x01
open(sys.argv[1], "wb").write(data)' "$@"
}

# check_reports <media> <finding>: mkmedia check fails with that finding.
check_reports() {
    "$top/tools/mkmedia" check "$1" >"$work/check" 2>&1
    local status=$?
    cat "$work/check"
    [ "$status" = 1 ] && grep -qF "mkmedia check: $2" "$work/check"
}

make_pki || { echo "FAIL the build tree has no test keys ($build/test-pki)"; exit 1; }
expect ok "mkmedia writes the demo's media with a manifest" make_media
expect ok "the manifest lists jre.zip with its SHA-256 and size" bash -c "grep -qxF \"\$(sha256sum '$work/media/kp/windows/jre.zip' | cut -c1-64) \$(stat -c %s '$work/media/kp/windows/jre.zip') kp\\\\windows\\\\jre.zip\" <(tr -d '\\r' <'$work/media/media.manifest')"
expect ok "sign-media.sh signs them with the PKCS#12 file" sign_media "$work/media" signer
expect ok "openssl cms -verify accepts the signed manifest" cms_verify "$work/media"
expect ok "mkmedia check finds nothing in the signed media" "$top/tools/mkmedia" check "$work/media"
cp -a "$work/media" "$work/changed"
flip_byte "$work/changed/media.manifest" 10
expect fails "a changed manifest no longer verifies" cms_verify "$work/changed"
rm -rf "$work/changed" && cp -a "$work/media" "$work/changed" && flip_byte "$work/changed/kp/windows/jre.zip"
expect ok "mkmedia check reports a changed jre.zip" check_reports "$work/changed" "kp/windows/jre.zip: differs from the manifest"
rm -rf "$work/changed" && cp -a "$work/media" "$work/changed" && echo extra >"$work/changed/kp/lib/added.jar"
expect ok "mkmedia check reports a file added after signing" check_reports "$work/changed" "kp/lib/added.jar: is not in the manifest"
expect fails "sign-media.sh without a key refuses" "$top/scripts/sign-media.sh" "$work/media"

# The same key on a SoftHSM token, through its PKCS#11 module, signs a copy of the media.
sign_with_token() {
    export SOFTHSM2_CONF="$work/softhsm2.conf"
    mkdir -p "$work/tokens" && printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" >"$SOFTHSM2_CONF"
    softhsm2-util --init-token --free --label signing --so-pin "so $$" --pin "$PASSWORD" &&
        openssl pkcs8 -topk8 -nocrypt -in "$work/pki/signer.key" -out "$work/pki/signer.p8" &&
        softhsm2-util --import "$work/pki/signer.p8" --token signing --label codesign --id 01 --pin "$PASSWORD" &&
        rm -rf "$work/token-media" && cp -a "$work/media" "$work/token-media" && rm "$work/token-media/media.manifest.p7s" &&
        env BRAVIK_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
            BRAVIK_SIGN_PKCS11_KEY="pkcs11:token=signing;object=codesign;type=private" \
            BRAVIK_SIGN_CERT="$work/pki/signer.pem" BRAVIK_SIGN_PASSWORD_FILE="$work/pki/password" \
            "$top/scripts/sign-media.sh" "$work/token-media" &&
        cms_verify "$work/token-media"
}
expect ok "sign-media.sh signs through a PKCS#11 token, and openssl verifies it" sign_with_token

osslsigncode sign -h sha256 -pkcs12 "$work/pki/signer.p12" -readpass "$work/pki/password" \
    -in "$build/bin/pinned/install.exe" -out "$work/install-signed.exe" >/dev/null || { echo "FAIL signing install.exe"; exit 1; }
cp -a "$work/media" "$work/other" && sign_media "$work/other" other >/dev/null

# One run of install.exe from a copy of the media; what it did is left in $work/run.
run_install() {
    local media="$root/media"
    rm -rf "$common" "$media" "$root/launches.txt" "$work/run" && mkdir -p "$work/run"
    cp -a "$1" "$media"
    cp "$2" "$media/install.exe"
    [ -n "${3:-}" ] && (cd "$media" && eval "$3")
    (cd "$media" && LAUNCH_STUB_RECORD="$WIN_ROOT\\launches.txt" WINEDEBUG=+relay \
        wine "$WIN_ROOT\\media\\install.exe" 2>"$work/run/relay")
    local temp_dir trace
    temp_dir=$(wine cmd.exe /c echo %TEMP% 2>/dev/null | tr -d '\r')
    trace=$(winepath -u "$temp_dir\\kp_nstal.out" 2>/dev/null)
    tr -d '\r' <"$trace" >"$work/run/trace"
    grep -o 'Call user32.MessageBoxA([^)]*' "$work/run/relay" >"$work/run/boxes" || true
    [ -f "$root/launches.txt" ] && tr -d '\r' <"$root/launches.txt" >"$work/run/launches"
    return 0
}

refused() {
    run_install "$@"
    cat "$work/run/trace" "$work/run/boxes"
    grep -q "$NOT_AS_SIGNED" "$work/run/boxes" && grep -q "not as their publisher signed them: .*$4" "$work/run/trace" &&
        [ ! -e "$work/run/launches" ] && [ -z "$(find "$common" -type f 2>/dev/null)" ]
}

installed() {
    run_install "$@"
    cat "$work/run/trace" "$work/run/boxes"
    # The Java process started its class: the launcher found it on the class path.
    ! grep -q "$NOT_AS_SIGNED" "$work/run/boxes" && grep -q "^found=" "$work/run/launches" &&
        [ -e "$common/jre/jre.ver" ] && grep -q "$4" "$work/run/trace"
}

# refused_alike: install refuses the media, and mkmedia check of the same media, with the same
# signed install.exe in them, gives the same reason.
refused_alike() {
    refused "$@" || return 1
    local reason prefix="$WIN_ROOT\\media\\"
    reason=$(sed -n 's/^The installation media are not as their publisher signed them: \(.*\)\. Application terminating $/\1/p' \
        "$work/run/trace")
    [ -n "$reason" ] && check_reports "$root/media" \
        "media.manifest.p7s: install.exe checks its media and stops with the box \"$NOT_AS_SIGNED\": ${reason//"$prefix"/}"
}

not_on_class_path() {
    installed "$@" && grep '^CLASSPATH=' "$work/run/launches" &&
        ! grep '^CLASSPATH=' "$work/run/launches" | grep -q added.jar &&
        grep '^CLASSPATH=' "$work/run/launches" | grep -qi 'kp\\lib\\'
}

signed="$work/install-signed.exe" unsigned="$dist/install.exe" pinned="$build/bin/pinned/install.exe"
change_jre="python3 -c 'import sys; d = bytearray(open(sys.argv[1], \"rb\").read()); d[len(d) // 2] ^= 1; open(sys.argv[1], \"wb\").write(d)' kp/windows/jre.zip"
change_product=${change_jre//windows\/jre.zip/zip\/product.zip}
change_manifest="sed -i '1s/manifest/Manifest/' media.manifest"
# want     | what                                           | media        | install    | change after signing            | trace says
while IFS='|' read -r want what media program change says; do
    want=$(echo $want) media=$(echo $media) program=$(echo $program) says=$(echo $says)
    change=$(echo "$change" | sed 's/^ *//; s/ *$//')
    [[ $change =~ ^[a-z_]+$ ]] && change=${!change}
    expect ok "$what" "$want" "$work/$media" "${!program}" "$change" "$says"
done <<'ROWS'
installed          | signed install, signed media: a normal run                | media | signed   |                              | are as their publisher signed them
refused            | one byte of jre.zip changed: box, no unpack, no record    | media | signed   | change_jre                   | kp.windows.jre.zip is not as the signed manifest lists it
refused            | a product archive changed: nothing unpacked, jre.zip neither | media | signed | change_product         | kp.zip.product.zip is not as the signed manifest lists it
not_on_class_path  | a jar added to kp\lib after signing is not on the class path | media | signed | echo x >kp/lib/added.jar   | added.jar is not in the signed manifest and is not used
refused_alike      | media signed by another certificate are refused, and check says so | other | signed |            | it was not made by the certificate install.exe was built with
refused            | media without a manifest are refused                     | media | signed   | rm media.manifest media.manifest.p7s | cannot be read
refused_alike      | media without a signature are refused, and check says so | media | signed   | rm media.manifest.p7s        | cannot be read
refused_alike      | a changed manifest is refused, and check says so         | media | signed   | change_manifest              | the signed message digest is not the manifest's
installed          | unsigned install with the same media: today's run       | media | unsigned |                              | install.exe is not signed
refused            | the checking build with its signature taken off still checks | media | pinned | change_jre                 | kp.windows.jre.zip is not as the signed manifest lists it
refused            | a JVM argument file changed after signing                | media | signed   | echo -javaagent:C:/a.jar >>kp/bin_nt/jvm0.args | jvm0.args is not as the signed manifest lists it
refused            | a jar named in [CLASSPATH] replaced after signing        | media | signed   | echo x >kp/ext/named.jar     | named.jar is not as the signed manifest lists it
refused            | a class planted in a [CLASSPATH] folder                  | media | signed   | mkdir -p kp/classes/com && echo x >kp/classes/com/Planted.class | Planted.class is not in the signed manifest
refused            | an unlisted jvm.dll where the Java processes start       | media | signed   | echo x >kp/bin_nt/jvm.dll    | jvm.dll is not in the signed manifest
refused            | a class below where they start (the class path's empty element) | media | signed | mkdir -p kp/bin_nt/com/bravik && echo x >kp/bin_nt/com/bravik/Installer.class | Installer.class is not in the signed manifest
refused            | an unlisted program in a [PATH] folder                   | media | signed   | echo x >kp/tools/reg.exe     | reg.exe is not in the signed manifest
refused            | an unlisted cmd.exe in the media's kp\bin                | media | signed   | echo x >kp/bin/cmd.exe       | cmd.exe is not in the signed manifest
refused            | the media's kp a link to another tree                    | media | signed   | mv kp ../kp-elsewhere && ln -s ../kp-elsewhere kp | is a link, or cannot be held
ROWS

# The file checked is the file started: media whose manifest lists kp\bin\launch (a file of that
# bare name, which install finds first) and a launch.exe planted beside it, which is what would
# start.
planted_beside_launcher() {
    rm -rf "$work/bare" && cp -a "$work/media" "$work/bare" && echo bare >"$work/bare/kp/bin/launch" &&
        python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from mkmedia_lib.manifest import write_manifest
write_manifest(sys.argv[2])' "$top/tools" "$work/bare" && sign_media "$work/bare" signer >/dev/null || return 1
    refused "$work/bare" "$signed" "cp '$build/bin/stubs/launch.exe' kp/bin/launch.exe" "kp.bin.launch.exe is not in the signed manifest"
}
expect ok "a launch.exe planted beside the listed kp\bin\launch is refused" planted_beside_launcher

# A checking build where signatures cannot be checked (here: made to report the 95 family, as a
# compatibility setting can) uses nothing: its box, nothing unpacked, no Java process.
cannot_check() {
    local key='HKCU\Software\Wine\AppDefaults\install.exe'
    wine reg add "$key" /v Version /d win98 /f >/dev/null 2>&1
    run_install "$work/media" "$signed" ""
    wine reg delete "$key" /f >/dev/null 2>&1
    cat "$work/run/trace" "$work/run/boxes"
    grep -q "Signatures Cannot Be Checked" "$work/run/boxes" && [ ! -e "$work/run/launches" ] &&
        [ -z "$(find "$common" -type f 2>/dev/null)" ]
}
expect ok "a checking build that reports the 95 family stops with its box and uses nothing" cannot_check
# mkmedia check verifies the signature with the certificate of the media's install.exe, and says
# so when it cannot.
with_signed_install() {
    rm -rf "$work/checked" && cp -a "$work/media" "$work/checked" && cp "$signed" "$work/checked/install.exe"
}
check_without_openssl() {
    local python
    python=$(python3 -c 'import sys; print(sys.executable)')
    with_signed_install && env PATH=/nonexistent "$python" "$top/tools/mkmedia" check "$work/checked" >"$work/check" 2>&1
    local status=$?
    cat "$work/check"
    [ "$status" = 3 ] && grep -q "media.manifest.p7s: not checked: install.exe checks its media, and openssl" "$work/check"
}
check_signed_media() {
    with_signed_install && "$top/tools/mkmedia" check "$work/checked"
}
expect ok "mkmedia check verifies the media's signature against the signed install.exe" check_signed_media
expect ok "mkmedia check without openssl says it cannot check the signature" check_without_openssl

# An update folder (install_staged: the build that sees update folders as an administrator
# staged them) is used by a signed install only with its own signed manifest.
update_folder() {
    local folder="$drive_c/vtupdate"
    rm -rf "$folder" && mkdir -p "$folder" && echo patch >"$folder/patch.jar" || return 1
    if [ "$1" = signed ]; then
        python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from mkmedia_lib.manifest import write_manifest
write_manifest(sys.argv[2])' "$top/tools" "$folder" && sign_media "$folder" signer >/dev/null || return 1
    fi
    installed "$work/media" "$staged" "" "$2"
    local status=$?
    rm -rf "$folder"
    [ "$status" = 0 ] && grep '^CLASSPATH=' "$work/run/launches" | grep -qi "$3"
}
osslsigncode sign -h sha256 -pkcs12 "$work/pki/signer.p12" -readpass "$work/pki/password" \
    -in "$build/bin/staged-pinned/install.exe" -out "$work/install-staged.exe" >/dev/null || { echo "FAIL signing install.exe"; exit 1; }
staged="$work/install-staged.exe"
expect ok "an update folder with its signed manifest is used" \
    update_folder signed "Update directory C:.vtupdate is as its publisher signed it" 'CLASSPATH=C:.vtupdate.patch.jar;'
expect ok "an update folder without one is not used, and the run goes on" \
    update_folder unsigned "Update directory C:.vtupdate is not used: .*media.manifest or its signature cannot be read" '^CLASSPATH=C:.smtest'

# held_against_writing: while the launcher runs, install holds jre.zip, and cmd's append to it
# leaves it as it was; the same append once install has ended changes it.
append_to_archive() {
    wine cmd.exe /c "echo x>>$WIN_ROOT\\media\\kp\\windows\\jre.zip"
}
held_against_writing() {
    local media="$root/media"
    rm -rf "$common" "$media" "$root/launches.txt" "$root/go"
    cp -a "$work/media" "$media" && cp "$signed" "$media/install.exe"
    (cd "$media" && LAUNCH_STUB_RECORD="$WIN_ROOT\\launches.txt" LAUNCH_STUB_WAIT_FOR="$WIN_ROOT\\go" \
        wine "$WIN_ROOT\\media\\install.exe" 2>/dev/null) &
    local install=$!
    # The stand-in launcher waits for the go file; install has checked and holds the media by then.
    while [ ! -e "$common/jre/jre.ver" ] && kill -0 "$install" 2>/dev/null; do sleep 0.2; done
    append_to_archive
    local held_unchanged=0
    cmp "$work/media/kp/windows/jre.zip" "$media/kp/windows/jre.zip" && held_unchanged=1
    : >"$root/go"
    wait "$install"
    append_to_archive
    [ "$held_unchanged" = 1 ] && ! cmp "$work/media/kp/windows/jre.zip" "$media/kp/windows/jre.zip"
}
expect ok "another process cannot open a held file for writing" held_against_writing

echo "$failures failed"
[ "$failures" = 0 ]
