#!/usr/bin/env bash
# A Time Machine disk of some 200 000 directory and 200 000 file hard links: `find / -m` against
# The Sleuth Kit's `fls -r -m /` on the same image, best of $RUNS runs each, and whether the two
# list the same set of lines (TSK's own $ files left out, its '^' for control characters mapped).
#   bench/time_machine.sh [BUILD_DIR] [SNAPSHOTS] [FOLDERS]     (defaults: build, 101, 2223)
set -euo pipefail
build=${1:-build}
snapshots=${2:-101}
folders=${3:-2223}
runs=${RUNS:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib.sh"
"$build/mkimage" --time-machine "$snapshots" --tm-folders "$folders" "$work/tm.hfs" > /dev/null
cat "$work/tm.hfs" > /dev/null   # in the page cache
read -r ours ours_kib < <(best "$build/tarnwick" -c "find / -m" "$work/tm.hfs")
read -r theirs theirs_kib < <(best fls -r -m / "$work/tm.hfs")
echo "find / -m:   $ours s, $ours_kib KiB peak"
echo "fls -r -m /: $theirs s, $theirs_kib KiB peak"
echo "ratio:       $(ratio "$ours" "$theirs")"
"$build/tarnwick" -c "find / -m" "$work/tm.hfs" 2> /dev/null | sed 's/\\x00/^/g; s/\\r/^/g' | sort > "$work/ours"
fls -r -m / "$work/tm.hfs" | grep -v '^0|/\$' | sort > "$work/theirs"
if cmp -s "$work/ours" "$work/theirs"; then echo "same $(wc -l < "$work/ours") lines"; else echo "the lines differ"; fi
