#!/usr/bin/env bash
# Figures for the priority callout on the simulated array: wall time per run
# (process start, lock, load, probe, resolution, rewrite of the file) over N
# runs, with a preference file of 8 LUNs and one of 256 LUNs, and the peak
# resident set size of one run. Not a test: the figures depend on the machine.
#   tools/bench.sh [RUNS]        (default 200; builds build/normal if needed)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
runs=${1:-200}

. tools/simenv.sh tald-bench

# Every path of array8 once: the file then holds its 8 LUNs, 4 paths each.
fill8() {
    rm -f "$state/tald.conf"
    for dev in /dev/sd{b..z} /dev/sda{a..g}; do
        sim "$callout" "$dev" >/dev/null
    done
}

# The 8 LUNs of array8 and 248 more of the same shape.
fill256() {
    fill8
    local n free
    free=$(printf 'x,0:0:0:0,0,%.0s' {1..12})
    for ((n = 8; n < 256; n++)); do
        printf '3600%02x1c7a550d%019d%x,/dev/sd%d,2:0:0:%d,%d,/dev/sdr%d,3:0:0:%d,%d,/dev/sdj%d,2:0:1:%d,%d,/dev/sdz%d,3:0:1:%d,%d,%svol_%03d\n' \
            "$n" 0 "$n" "$n" $((n % 256)) $((n % 4 + 1)) "$n" $((n % 256)) $(((n + 1) % 4 + 1)) \
            "$n" $((n % 256)) $(((n + 2) % 4 + 1)) "$n" $((n % 256)) $(((n + 3) % 4 + 1)) \
            "$free" "$n" >>"$state/tald.conf"
    done
}

now_ns() { date +%s%N; }

# time_runs LABEL ARGS...: mean wall time of $runs callouts.
time_runs() {
    local label=$1 start end i
    shift
    start=$(now_ns)
    for ((i = 0; i < runs; i++)); do
        sim "$@" >/dev/null
    done
    end=$(now_ns)
    awk -v label="$label" -v ns=$((end - start)) -v n="$runs" \
        'BEGIN { printf "%-44s %8.3f ms/run  (%d runs)\n", label, ns / n / 1e6, n }'
}

peak_rss() {
    if [ -x /usr/bin/time ]; then
        sim /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -1
    else
        echo "n/a"
    fi
}

echo "machine: $(nproc) cores, $(uname -sr)"
for size in 8 256; do
    "fill$size"
    lines=$(wc -l <"$state/tald.conf")
    bytes=$(wc -c <"$state/tald.conf")
    echo "== preference file: $lines LUNs, $bytes bytes"
    time_runs "mpath_prio_tald /dev/sdb (known LUN)" "$callout" /dev/sdb
    time_runs "mpath_prio_tald --help (lock + load only)" "$callout" --help
    time_runs "tald --prio --set /dev/sdc 7" "$tald" --prio --set /dev/sdc 7
    echo "peak RSS of one callout: $(peak_rss "$callout" /dev/sdb) KiB"
    echo "peak RSS of tald -l:     $(peak_rss "$tald" -l) KiB"
    [ "$(wc -l <"$state/tald.conf")" -eq "$lines" ] || echo "warning: the file changed its size"
done
