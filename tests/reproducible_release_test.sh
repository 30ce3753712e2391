#!/usr/bin/env bash
# Two clones of the checkout's commit, in different folders (one with a blank in its path), released
# with scripts/release one after the other, give the same unsigned exe byte for byte, and each run
# prints that exe's SHA-256: anyone can rebuild a release and compare it with the shipped one.
# Only the commit is built: changes not committed are not part of what is compared.
#   reproducible_release_test.sh CHECKOUT
set -euo pipefail
checkout=$(cd "${1:?usage: reproducible_release_test.sh CHECKOUT}" && pwd)
commit=$(git -C "$checkout" rev-parse HEAD)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# release FOLDER: clones the commit into FOLDER and releases it there, its output in FOLDER.log.
release() {
    git clone --quiet --no-checkout "$checkout" "$1"
    git -C "$1" fetch --quiet "$checkout" "$commit"
    git -C "$1" -c advice.detachedHead=false checkout --quiet "$commit"
    if ! "$1/scripts/release" >"$1.log" 2>&1; then
        cat "$1.log"
        echo "FAIL: scripts/release failed in $1"
        exit 1
    fi
}

echo "commit $commit"
first="$scratch/first"
second="$scratch/a longer second folder"
release "$first"
sleep 1  # a link time, had it crept back in, would differ
release "$second"

exe=build/release/TolmekBrannLauncher.exe
status=0
if ! cmp -s "$first/$exe" "$second/$exe"; then
    differing=$(cmp -l "$first/$exe" "$second/$exe" || true)
    echo "FAIL: the two exes differ in $(wc -l <<<"$differing") bytes (offset, then octal bytes):"
    head -20 <<<"$differing"
    status=1
fi
for folder in "$first" "$second"; do
    actual=$(sha256sum "$folder/$exe" | cut -d' ' -f1)
    printed=$(sed -n 's/^release: .* SHA-256 \([0-9a-f]\{64\}\).*/\1/p' "$folder.log")
    echo "$folder: $actual (printed: ${printed:-nothing})"
    if [ "$printed" != "$actual" ]; then
        echo "FAIL: scripts/release did not print the exe's SHA-256"
        status=1
    fi
done
exit $status
