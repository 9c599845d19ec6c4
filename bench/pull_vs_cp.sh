#!/usr/bin/env bash
# pull of a large plain file against cp of the same bytes: wall time and peak memory, side by side.
#   bench/pull_vs_cp.sh [BUILD_DIR] [MIB]     (defaults: build, 512)
set -euo pipefail
build=${1:-build}
mib=${2:-512}
work=$(mktemp -d)
trap 'rm -rf "$work" /tmp/tw-bench-big.bin' EXIT
mkdir "$work/files"
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/files/tw-bench-big.bin"
"$build/mkimage" --files "$work/files" "$work/volume.hfs"
cat "$work/volume.hfs" "$work/files/tw-bench-big.bin" > /dev/null   # both in the page cache
for run in 1 2 3; do
    rm -f /tmp/tw-bench-big.bin
    /usr/bin/time -f "pull: %e s, %M KiB peak" sh -c \
        "printf 'pull tw-bench-big.bin\n' | '$build/tarnwick' '$work/volume.hfs' > /dev/null 2>&1"
    cmp -s /tmp/tw-bench-big.bin "$work/files/tw-bench-big.bin" || { echo "pull: copy differs"; exit 1; }
    rm -f "$work/copy.bin"
    /usr/bin/time -f "cp:   %e s, %M KiB peak" cp "$work/files/tw-bench-big.bin" "$work/copy.bin"
done
