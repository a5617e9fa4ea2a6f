# Sourced by the scripts that run Windows programs: the Wine prefix of a build tree, for the
# architecture that tree was built for (its lane.env, written by CMake, says x86 or x64).
# Usage: . scripts/wine-env.sh <build-dir>
#    or: . scripts/wine-env.sh --lane <x86|x64>: the lane's loader and lane_unavailable alone, for
#        set-up, which asks before any build tree is configured.
if [ "$1" = --lane ]; then
    lane=$2 wine_build=
else
    wine_build=$(cd "$1" && pwd)
    . "$wine_build/lane.env"
    export WINEPREFIX="$wine_build/wine/prefix"
fi
# The loader is named outright: Debian's /usr/bin/wine takes the 32-bit one whenever it is
# installed, whatever the prefix.
case "$lane" in
    x86) export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine ;;
    x64) export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 ;;
    *) echo "wine-env: unknown lane '$lane' in $wine_build/lane.env" >&2; return 1 ;;
esac
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine writes file names in the locale's character set: only a UTF-8 one can hold every name an
# archive may bring.
export LC_ALL=C.UTF-8
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

wine() { "$WINELOADER" "$@"; }
wineboot() { "$WINELOADER" wineboot "$@"; }
winepath() { "$WINELOADER" winepath "$@"; }

# Why this machine cannot run the lane's programs, or nothing when it can. Found by starting
# the loader: a kernel without 32-bit support refuses the 32-bit one outright.
lane_unavailable() {
    # BRAVIK_X86_LANE=guest sends the x86 lane to the guest on a host that could run it, to try
    # the guest lane there.
    if [ "$lane" = x86 ] && [ "${BRAVIK_X86_LANE:-}" = guest ]; then
        echo "BRAVIK_X86_LANE=guest asks for the guest"
    elif [ ! -x "$WINELOADER" ]; then
        echo "the $lane lane needs $WINELOADER ($([ "$lane" = x86 ] && echo wine32:i386 || echo wine64)), which is not installed"
    elif ! "$WINELOADER" --version >/dev/null 2>&1; then
        echo "the $lane lane needs a kernel that starts $([ "$lane" = x86 ] && echo 32-bit || echo 64-bit) programs; this one refused $WINELOADER"
    fi
}

# Ends a test script with the code ctest counts as skipped, and the reason, where the lane
# cannot run here.
skip_unless_lane_runs() {
    local why
    why=$(lane_unavailable)
    if [ -n "$why" ]; then
        echo "SKIPPED: $why"
        exit 77
    fi
}
