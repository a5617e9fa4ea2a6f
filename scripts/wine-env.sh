# Sourced by the scripts that run Windows programs: the 32-bit prefix inside a build tree.
# Usage: . scripts/wine-env.sh <build-dir>
wine_build=$(cd "$1" && pwd)
export WINEPREFIX="$wine_build/wine/prefix"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
