#!/usr/bin/env bash
# Digests of every file: `find / -hash sha256` against `sha256sum` over the files tsk_recover
# writes from the same volume (from a warm page cache), best of RUNS wall time each, and whether
# the digests agree.
#   bench/hashes.sh [BUILD_DIR] [MIB] [RUNS]   (defaults: build, 940, 3)
set -euo pipefail
build=$(realpath "${1:-build}")
mib=${2:-940}
runs=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib.sh"
make_files "$work/files" "$mib"
"$build/mkimage" --files "$work/files" "$work/volume.hfs"
tsk_recover -e "$work/volume.hfs" "$work/recovered" > /dev/null
rm -rf "$work/recovered/\$"*
(cd "$work/recovered" && find . -type f | sort > "$work/list")
cat "$work/volume.hfs" > /dev/null
(cd "$work/recovered" && xargs -d '\n' cat < "$work/list" > /dev/null)   # both warm
read -r ours _ < <(best "$build/tarnwick" -c "find / -hash sha256" "$work/volume.hfs")
read -r theirs _ < <(best sh -c "cd '$work/recovered' && xargs -d '\\n' sha256sum < '$work/list'")
echo "volume:            $(du -m "$work/volume.hfs" | cut -f1) MiB, $(wc -l < "$work/list") files"
echo "find -hash sha256: $ours s"
echo "sha256sum:         $theirs s"
echo "ratio:             $(ratio "$ours" "$theirs")"
"$build/tarnwick" -c "find / -hash sha256" "$work/volume.hfs" 2> /dev/null | awk -F'\t' '$2 != "-" { print $2 "  ." $3 }' | sort > "$work/ours"
(cd "$work/recovered" && xargs -d '\n' sha256sum < "$work/list") | sort > "$work/theirs"
if cmp -s "$work/ours" "$work/theirs"; then echo "same digests"; else echo "the digests differ"; fi
