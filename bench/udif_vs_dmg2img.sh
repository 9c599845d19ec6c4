#!/usr/bin/env bash
# Disk-image expansion: `fs` on UDIF images of one large volume (zlib, bzip2 and ADC chunks of 1 MiB)
# against dmg2img and `7zz x -tdmg` on the same images in the same run: wall time (best of RUNS),
# peak memory, and the ratios.
#   bench/udif_vs_dmg2img.sh [BUILD_DIR] [MIB] [SOURCE_DIR] [RUNS] [CODECS]
#   (defaults: build, 600, /usr, 3, "zlib bzip2 adc")
set -euo pipefail
build=$(realpath "${1:-build}")
mib=${2:-600}
source=${3:-/usr}
runs=${4:-3}
codecs=${5:-zlib bzip2 adc}
work=$(mktemp -d)
trap 'rm -rf "$work" /tmp/decompressed.dmg' EXIT

# Real files (programs, libraries, text) up to MIB MiB: what disk images hold. HFSX, for /usr has
# names that differ only in case.
find "$source" -type f -readable -printf '%s %p\n' 2>/dev/null | sort -k2 |
    awk -v max=$((mib * 1024 * 1024)) '{ sum += $1; print substr($0, index($0, " ") + 1); if (sum >= max) exit }' \
    > "$work/list" || true   # awk stops the pipe early
mkdir "$work/files"
tar -cf - --verbatim-files-from -T "$work/list" 2>/dev/null | tar -xf - -C "$work/files"
echo "volume: $(du -sm "$work/files" | cut -f1) MiB of files from $source"

source "$(dirname "$0")/lib.sh"   # best says when a tool fails: dmg2img gives up on some ADC images
before_each() { rm -rf /tmp/decompressed.dmg "$work/out"; }

for codec in $codecs; do
    image="$work/$codec.dmg"
    "$build/mkimage" --hfsx --files "$work/files" --gpt --dmg --dmg-codec "$codec" "$image"
    cat "$image" > /dev/null   # in the page cache
    # The same bytes as 7-Zip's partition (twice at most: other programs may write /tmp/decompressed.dmg).
    7zz x -tdmg -so "$image" '*.hfs*' > "$work/seven.img" 2>/dev/null
    for try in 1 2; do
        "$build/tarnwick" "$image" > /dev/null 2>&1 < /dev/null
        cmp -s /tmp/decompressed.dmg "$work/seven.img" && break
        ((try == 1)) || { echo "$codec: expansion differs from 7-Zip's"; exit 1; }
    done
    rm -f "$work/seven.img"
    read -r t_s t_k < <(best "$build/tarnwick" "$image")
    read -r d_s d_k < <(best dmg2img -s -i "$image" -o "$work/out")
    read -r z_s z_k < <(best 7zz x -tdmg -y -o"$work/out" "$image")
    echo "$codec ($(du -m "$image" | cut -f1) MiB image): tarnwick $t_s s, $((t_k / 1024)) MiB peak;" \
         "dmg2img $d_s s, $((d_k / 1024)) MiB; 7zz $z_s s, $((z_k / 1024)) MiB;" \
         "tarnwick/dmg2img $(ratio "$t_s" "$d_s"), tarnwick/7zz $(ratio "$t_s" "$z_s")"
    rm -f "$image"
done
