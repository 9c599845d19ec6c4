#!/usr/bin/env bash
# check of a large volume against reading its metadata files once with The Sleuth Kit's icat (the
# catalog, extents overflow, attributes and allocation files): wall time (best of 3), peak memory
# and the ratio. The volume is a synthetic one, or IMAGE when given.
#   bench/check.sh [BUILD_DIR] [FILES|IMAGE]     (defaults: build, 200000)
set -euo pipefail
build=$(realpath "${1:-build}")
what=${2:-200000}
runs=3
work=$(mktemp -d "$build/check-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib.sh"

volume=$what
if [[ ! -f $volume ]]; then
    volume=$work/volume.hfs
    "$build/mkimage" --synthetic "$what" "$volume" > /dev/null
fi
cat "$volume" > /dev/null   # in the page cache
"$build/tarnwick" "$volume" -c check 2> /dev/null | tail -1

read -r check_s check_k < <(best "$build/tarnwick" "$volume" -c check)
read -r icat_s icat_k < <(best sh -c "for inode in 4 3 8 6; do icat '$volume' \$inode; done")
echo "$(du -h --apparent-size "$volume" | cut -f1) volume: check ${check_s} s (${check_k} KiB peak)," \
     "icat of its metadata files ${icat_s} s (${icat_k} KiB peak): ratio $(ratio "$check_s" "$icat_s")"
