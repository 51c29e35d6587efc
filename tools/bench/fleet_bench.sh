#!/usr/bin/env bash
# Scale figures of the fleet commands: tald --export and tald --apply of an
# export at 1024, 4096 and 16384 LUNs stored (4 paths each, one override per
# LUN), on the simulated array with the state on tmpfs. Each apply changes
# every LUN: two documents (the export of the overrides, and the export of
# the defaults) are applied in turn to one state directory, the export of
# the overrides taking turns with them. Prints, per size, the medians of
# wall time and of user + system time (spawn_timer), and checks that the
# last apply left the defaults' export. Not a test: the figures depend on the
# machine and on its load. tools/bench.sh runs it; docs/performance.md holds
# the figures.
#
#   tools/bench/fleet_bench.sh [RUNS] [--tald PATH] [--luns "N..."]
#     RUNS     runs of each command per size (default 5)
#     --tald   measure another build's tald (e.g. of an older revision)
#     --luns   the sizes (default "1024 4096 16384")
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"

runs=5
sizes="1024 4096 16384"
other=
while (($#)); do
    case $1 in
    --tald) other=$(realpath "$2"); shift 2 ;;
    --luns) sizes=$2; shift 2 ;;
    [0-9]*) runs=$1; shift ;;
    *) echo "usage: tools/bench/fleet_bench.sh [RUNS] [--tald PATH] [--luns \"N...\"]" >&2; exit 2 ;;
    esac
done

if [ -z "${TMPDIR:-}" ] && [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
    export TMPDIR=/dev/shm
fi
# shellcheck source=tools/simenv.sh
. tools/simenv.sh tald-fleet-bench
cmake --build "$top/$build" --target spawn_timer >/dev/null
[ -n "$other" ] && tald=$other
timer=$top/$build/tools/bench/spawn_timer
simlib=$top/$build/tools/simarray/libsimarray.so
: >"$state/none.scn" # no node answers: the commands read the stored file only

# stored N DIR OVERRIDES: a file of N LUNs, each with its 4 paths at their
# rotated defaults, and with OVERRIDES=1 an 8 on one port per LUN.
stored() {
    mkdir -p "$2"
    awk -v n="$1" -v over="$3" 'BEGIN {
        for (l = 0; l < n; l++) {
            line = sprintf("3600a%027d,", l)
            for (cp = 0; cp < 4; cp++) {
                prio = (cp + l) % 4 + 1
                if (over && cp == l % 4)
                    prio = 8
                line = line sprintf("/dev/f%d_%d,%d:0:%d:%d,%d,", l, cp, 2 + cp % 2, int(cp / 2),
                                    l % 256, prio)
            }
            for (k = 4; k < 16; k++)
                line = line "x,0:0:0:0,0,"
            print line "vol_" l
        } }' >"$2/tald.conf"
}
on() { # DIR COMMAND...
    local dir=$1
    shift
    LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/none.scn SIMARRAY_STATE_DIR=$dir "$@"
}
env_of() { echo "LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/none.scn SIMARRAY_STATE_DIR=$1"; }

echo "fleet commands: $tald; medians of $runs runs, state on $(stat -f -c %T "$state")"
printf '%8s %22s %22s\n' LUNs "export: wall, cpu" "apply: wall, cpu"
for n in $sizes; do
    d=$state/fleet$n
    stored "$n" "$d/over" 1
    stored "$n" "$d/work" 0
    on "$d/over" "$tald" --export >"$d/over.json"
    on "$d/work" "$tald" --export >"$d/defaults.json"
    # shellcheck disable=SC2046 # the environment words are split on purpose
    mapfile -t t < <("$timer" runs "$runs" \
        -- $(env_of "$d/over") "$tald" --export \
        -- $(env_of "$d/work") "$tald" --apply "$d/over.json" \
        -- $(env_of "$d/work") "$tald" --apply "$d/defaults.json" | awk '{ print $1, $4 }')
    awk -v n="$n" -v e="${t[0]}" -v a="${t[1]}" -v b="${t[2]}" 'BEGIN {
        split(e, x, " "); split(a, y, " "); split(b, z, " ")
        printf "%8d %10.3f s %8.3f s %10.3f s %8.3f s\n", n, x[1] / 1e6, x[2] / 1e6,
               (y[1] + z[1]) / 2e6, (y[2] + z[2]) / 2e6 }'
    on "$d/work" "$tald" --export | cmp -s - "$d/defaults.json" ||
        echo "warning: the applies did not leave the defaults' export at $n LUNs"
    rm -rf "$d"
done
