# Shared by the benchmark scripts, which set $work (a scratch folder) and $runs first.

# Best wall time and its peak resident memory over $runs runs of the command: "SECONDS KIB"; a
# command that fails is said to. A function before_each, when the script defines one, runs before
# every run. The time is taken to the millisecond (time's %e counts hundredths).
best() {
    local start secs kib status best_s="" best_k=""
    for ((run = 0; run < runs; run++)); do
        if declare -F before_each > /dev/null; then before_each; fi
        start=$EPOCHREALTIME
        /usr/bin/time -f "%M %x" -o "$work/time" "$@" > /dev/null 2>&1 < /dev/null || true
        secs=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
        read -r kib status < <(tail -1 "$work/time")
        if ((status != 0)); then echo "failed(exit-$status) 0"; return; fi
        if [[ -z $best_s ]] || awk -v a="$secs" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then best_s=$secs best_k=$kib; fi
    done
    echo "$best_s $best_k"
}

# A / B to two places, or "-" when either is not a measurement.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a ~ /^[0-9.]+$/ && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'; }

# A folder of about $2 MiB to build a volume from: half in one file of real bytes (libraries and
# programs repeated), the rest in the same bytes cut into 1 MiB files under small/.
make_files() {
    mkdir -p "$1/small"
    find /usr/lib /usr/bin -type f -readable -size +64k 2>/dev/null | head -2000 | xargs cat 2>/dev/null |
        head -c $(($2 / 2 * 1024 * 1024)) > "$1.seed" || true
    while (($(stat -c %s "$1.seed") < $2 / 2 * 1024 * 1024)); do cat "$1.seed" "$1.seed" | head -c $(($2 / 2 * 1024 * 1024)) > "$1.seed2"; mv "$1.seed2" "$1.seed"; done
    mv "$1.seed" "$1/large"
    split -b 1M -a 4 "$1/large" "$1/small/part-"
    for f in $(ls "$1/small" | tail -n +$(($2 - $2 / 2 - 8))); do rm "$1/small/$f"; done
}
