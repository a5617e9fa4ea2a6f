#!/usr/bin/env bash
# Writes <dist-dir>/SHA256SUMS for the eight deliverables as they ship (signed or not), with
# paths relative to the folder, so that `sha256sum -c SHA256SUMS` checks a release from there.
# Usage: checksums.sh <dist-dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/deliverables.sh"
dist=${1:?usage: checksums.sh <dist-dir>}
readonly SUMS_FILE=SHA256SUMS

cd "$dist"
for file in "${deliverables[@]}"; do
    [ -f "$file" ] || { echo "checksums: $dist/$file is missing; build both architectures first" >&2; exit 1; }
done
# Written aside and renamed, so that a sums file is never partial.
sha256sum "${deliverables[@]}" >"$SUMS_FILE.partial"
mv -f "$SUMS_FILE.partial" "$SUMS_FILE"
