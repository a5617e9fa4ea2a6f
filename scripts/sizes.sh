#!/usr/bin/env bash
# Prints the size of each deliverable of both architectures, as it ships.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/deliverables.sh"
for file in "${deliverables[@]}"; do
    [ -f "$top/dist/$file" ] && printf '%-22s %9d bytes\n' "dist/$file" "$(stat -c %s "$top/dist/$file")"
done
