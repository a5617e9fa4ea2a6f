#!/usr/bin/env bash
# check-build-trees.sh LANE...: stops make, with what to do, when a build tree was configured for
# another folder. CMake refuses such a tree (a checkout moved or copied with its build/) with a
# message about its cache that does not say the way out.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd -P)
status=0
for lane in "$@"; do
    cache="$top/build/$lane/CMakeCache.txt"
    [ -f "$cache" ] || continue
    home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")
    if [ -n "$home" ] && [ "$(cd "$home" 2>/dev/null && pwd -P)" != "$top" ]; then
        echo "make: build/$lane was configured for the checkout in $home, not this one ($top):" \
             "the checkout was moved or copied with its build trees. Run 'make clean', then make again." >&2
        status=1
    fi
done
exit $status
