#!/usr/bin/env bash
# Opening a volume and listing a folder of many files, against `7zz l` of the same volume: wall
# time and peak memory, side by side.
#   bench/listing_vs_7zz.sh [BUILD_DIR] [FILES]     (defaults: build, 100000)
set -euo pipefail
build=${1:-build}
files=${2:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files/folder"
(cd "$work/files/folder" && seq -f "file-%06g.txt" 1 "$files" | xargs touch)
"$build/mkimage" --files "$work/files" "$work/volume.hfs"
cat "$work/volume.hfs" > /dev/null   # in the page cache
for run in 1 2 3; do
    /usr/bin/time -f "tarnwick: %e s, %M KiB peak" sh -c \
        "printf 'cd folder\nls\n' | '$build/tarnwick' '$work/volume.hfs' > /dev/null 2>&1"
    /usr/bin/time -f "7zz l:    %e s, %M KiB peak" sh -c "7zz l '$work/volume.hfs' > /dev/null 2>&1"
done
