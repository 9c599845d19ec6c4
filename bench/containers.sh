#!/usr/bin/env bash
# Containers read in place, side by side in one run (best of RUNS wall time, peak memory):
#  - a UDIF image (1 MiB zlib chunks) of a volume of about MIB MiB holding one file of half that:
#    `fs --in-place` + `ls /` against `fs` with its expansion + `ls /`, and `pull` of the large file
#    in place against expansion + pull;
#  - a sparse bundle of 100 000 band files of 8 MiB (the volume's bands, then empty ones): open + `ls /`;
#  - E01 (ewfacquire, deflate) of the volume, when ewfacquire is installed and Tarnwick reads E01:
#    `pull` of the large file against the same pull from the raw volume.
#   bench/containers.sh [BUILD_DIR] [MIB] [RUNS]   (defaults: build, 940, 3)
set -euo pipefail
build=$(realpath "${1:-build}")
mib=${2:-940}
runs=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work" /tmp/decompressed.dmg' EXIT
source "$(dirname "$0")/lib.sh"
before_each() { rm -rf /tmp/decompressed.dmg "$work/out"; }

make_files "$work/files" "$mib"
"$build/mkimage" --files "$work/files" "$work/volume.hfs"
"$build/mkimage" --files "$work/files" --gpt --dmg --dmg-codec zlib "$work/volume.dmg"
echo "volume: $(du -m "$work/volume.hfs" | cut -f1) MiB; UDIF image $(du -m "$work/volume.dmg" | cut -f1) MiB"

read -r e_s e_k < <(best "$build/tarnwick" -c "ls /" "$work/volume.dmg")
read -r i_s i_k < <(best "$build/tarnwick" --in-place -c "ls /" "$work/volume.dmg")
echo "open + ls /: expanded $e_s s, $((e_k / 1024)) MiB peak; in place $i_s s, $((i_k / 1024)) MiB; in place/expanded $(ratio "$i_s" "$e_s")"
read -r e_s e_k < <(best "$build/tarnwick" -c "pull /large $work/out" "$work/volume.dmg")
read -r i_s i_k < <(best "$build/tarnwick" --in-place -c "pull /large $work/out" "$work/volume.dmg")
echo "pull of /large: expanded $e_s s, $((e_k / 1024)) MiB peak; in place $i_s s, $((i_k / 1024)) MiB; in place/expanded $(ratio "$i_s" "$e_s")"

"$build/mkimage" --files "$work/files" --sparsebundle --band-size $((8 << 20)) "$work/volume.sparsebundle"
present=$(ls "$work/volume.sparsebundle/bands" | wc -l)
(cd "$work/volume.sparsebundle/bands" && seq $((present)) 99999 | xargs printf '%x\n' | xargs touch)
sed -i "s|<integer>$(stat -c %s "$work/volume.hfs")</integer>|<integer>$((100000 * (8 << 20)))</integer>|" "$work/volume.sparsebundle/Info.plist"
echo "sparse bundle: $(ls "$work/volume.sparsebundle/bands" | wc -l) band files, $present of them holding the volume"
read -r b_s b_k < <(best "$build/tarnwick" -c "ls /" "$work/volume.sparsebundle")
# Bands are opened by name in the bands folder: openat(FOLDER, "1f", ...).
opened=$(strace -f -e trace=openat -o "$work/trace" "$build/tarnwick" -c "ls /" "$work/volume.sparsebundle" > /dev/null 2>&1
         grep -cE 'openat\([0-9]+, "[0-9a-f]+",' "$work/trace" || true)
echo "sparse bundle open + ls /: $b_s s, $((b_k / 1024)) MiB peak, $opened band files opened"

if command -v ewfacquire > /dev/null; then
    ewfacquire -u -t "$work/volume" -c deflate:fast -S 8G -d sha1 "$work/volume.hfs" > /dev/null 2>&1
    if "$build/tarnwick" -c "ls /" "$work/volume.E01" > /dev/null 2>&1; then
        read -r r_s r_k < <(best "$build/tarnwick" -c "pull /large $work/out" "$work/volume.hfs")
        read -r w_s w_k < <(best "$build/tarnwick" -c "pull /large $work/out" "$work/volume.E01")
        echo "pull of /large: raw $r_s s, $((r_k / 1024)) MiB; E01 $w_s s, $((w_k / 1024)) MiB; E01/raw $(ratio "$w_s" "$r_s")"
    else
        echo "E01: this build does not read it"
    fi
fi
