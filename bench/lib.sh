# Shared by the benchmark scripts, which set $work (a scratch folder) and $runs first.

# Best wall time and its peak resident memory over $runs runs of the command: "SECONDS KIB"; a
# command that fails is said to. A function before_each, when the script defines one, runs before
# every run.
best() {
    local secs kib status best_s="" best_k=""
    for ((run = 0; run < runs; run++)); do
        if declare -F before_each > /dev/null; then before_each; fi
        /usr/bin/time -f "%e %M %x" -o "$work/time" "$@" > /dev/null 2>&1 < /dev/null || true
        read -r secs kib status < <(tail -1 "$work/time")
        if ((status != 0)); then echo "failed(exit-$status) 0"; return; fi
        if [[ -z $best_s ]] || awk -v a="$secs" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then best_s=$secs best_k=$kib; fi
    done
    echo "$best_s $best_k"
}

# A / B to two places, or "-" when either is not a measurement.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a ~ /^[0-9.]+$/ && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'; }
