#!/usr/bin/env bash
# A volume of many small files (mkimage --synthetic): opening it and listing its root, that and
# pulling one file, and a body-format listing of the whole tree, against The Sleuth Kit's fls of
# the root and of the tree, in the same run: wall time (best of 3), peak memory and the ratios.
# Then 100 `fs` of one UDIF image, and of the volume in it bare, each in one session: open
# descriptors, resident memory and /tmp usage before, after the first and after the last.
#   bench/volume_memory.sh [BUILD_DIR] [FILES] [REOPEN_FILES]     (defaults: build, 1000000, 10000)
set -euo pipefail
build=$(realpath "${1:-build}")
files=${2:-1000000}
reopen_files=${3:-10000}
runs=3
work=$(mktemp -d "$build/volume-memory.XXXXXX")   # not under /tmp, whose usage is measured
trap 'rm -rf "$work" /tmp/decompressed.dmg' EXIT
source "$(dirname "$0")/lib.sh"

volume=$work/volume.hfs
pulled=/set0/dir000/file0000000.txt   # "file 0\n"
/usr/bin/time -f "mkimage --synthetic $files: %e s, %M KiB peak" "$build/mkimage" --synthetic "$files" "$volume"
cat "$volume" > /dev/null   # in the page cache

# Once untimed: the pull must give the file, and both tree listings are counted.
"$build/tarnwick" "$volume" -c "pull $pulled $work/pulled.txt" > /dev/null 2>&1 < /dev/null
[[ $(cat "$work/pulled.txt") == "file 0" ]] || { echo "pull: wrong content"; exit 1; }
echo "lines: tarnwick find / -m $("$build/tarnwick" "$volume" -c 'find / -m' 2> /dev/null < /dev/null | wc -l)," \
     "fls -r -m / $(fls -r -m / "$volume" | wc -l)"

read -r ls_s ls_k < <(best "$build/tarnwick" "$volume" -c 'ls /')
read -r pull_s pull_k < <(best "$build/tarnwick" "$volume" -c "ls /; pull $pulled $work/pulled.txt")
read -r find_s find_k < <(best "$build/tarnwick" "$volume" -c 'find / -m')
read -r fls_s fls_k < <(best fls "$volume")
read -r flsr_s flsr_k < <(best fls -r -m / "$volume")
row() { printf '%-34s %8s s %10s KiB peak\n' "$@"; }
row "tarnwick: ls /" "$ls_s" "$ls_k"
row "tarnwick: ls /, pull one file" "$pull_s" "$pull_k"
row "fls (the root)" "$fls_s" "$fls_k"
row "tarnwick: find / -m" "$find_s" "$find_k"
row "fls -r -m /" "$flsr_s" "$flsr_k"
compare() { echo "tarnwick $1 against $4: time $(ratio "$2" "$5"), memory $(ratio "$3" "$6")"; }
compare "ls /" "$ls_s" "$ls_k" "fls" "$fls_s" "$fls_k"
compare "ls /, pull" "$pull_s" "$pull_k" "fls" "$fls_s" "$fls_k"
compare "find / -m" "$find_s" "$find_k" "fls -r -m /" "$flsr_s" "$flsr_k"

# What the shell escape runs: system() starts a shell, so $PPID there is tarnwick.
cat > "$work/probe.sh" <<'PROBE'
pid=$1
printf '%-14s %3s descriptors (%s of deleted files), VmRSS %8s KiB, /tmp: du %8s KiB, df used %10s KiB\n' "$2:" \
    "$(ls "/proc/$pid/fd" | wc -l)" "$(find "/proc/$pid/fd" -lname '*(deleted)' | wc -l)" \
    "$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")" "$(du -sk /tmp 2> /dev/null | cut -f1)" \
    "$(df -k --output=used /tmp | tail -1 | tr -d ' ')"
PROBE
probe() { echo "!sh '$work/probe.sh' \$PPID '$1' >> '$work/probes'"; }
reopen() {
    local image=$1 status=0
    rm -f /tmp/decompressed.dmg "$work/probes"
    {
        probe "before"
        for ((i = 1; i <= 100; i++)); do
            echo "fs $image"
            if ((i == 1)); then probe "after fs 1"; fi
        done
        probe "after fs 100"
    } > "$work/script"
    "$build/tarnwick" -f "$work/script" > /dev/null 2>&1 < /dev/null || status=$?
    echo "100 fs of $2 ($(du -m "$image" | cut -f1) MiB, $reopen_files files), exit status $status:"
    cat "$work/probes"
}
"$build/mkimage" --synthetic "$reopen_files" "$work/small.hfs"
"$build/mkimage" --synthetic "$reopen_files" --dmg "$work/small.dmg"
reopen "$work/small.dmg" "a UDIF image"
reopen "$work/small.hfs" "a bare volume"
