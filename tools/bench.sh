#!/usr/bin/env bash
# Scale figures of the priority callout on the simulated array, side by side
# in one run (the state directory on tmpfs), each with its ratio to an empty
# C++ program built with the programs' flags:
#   - the sweep over 1024 LUNs x 4 paths, two callouts at a time as multipath
#     starts them, from an empty file and again with every path known, beside
#     4096 runs of the empty program; every process with the scenario of its
#     own node (tools/bench/gen_scenario.sh), the answers compared;
#   - taking turns, the empty program, the callout on a known path with 1 and
#     with 1024 LUNs stored, and sg_inq --page=0x83 on the same node (a peer
#     that sends one command from a fresh process): medians of wall time and
#     of user + system time, and peak resident memory;
#   - a priority change that must reach a real disk (write, fsync, rename),
#     and the file written with fsync alone, on a loop-mounted ext4 image if
#     the machine allows it, else in a directory of build/, and on tmpfs;
#   - the prioritizer plugin's steady call beside a bare in-process probe
#     (open, INQUIRY page 0x83, READ BUFFER id 0x40, close) on the same paths,
#     taking turns in one process, with 1, 256, 1024 and 4096 LUNs stored
#     (tools/bench/plugin_bench.cpp), with the syslog messages of those calls
#     and whether they left the files as they were;
#   - the peak memory of a callout on a file of 100,000 LUNs;
#   - tald --export and tald --apply of an export at 1024, 4096 and 16384
#     LUNs stored (tools/bench/fleet_bench.sh);
#   - the store's Google benchmarks (load, resolve, save at 1..4096 LUNs).
# docs/performance.md explains the method and holds the figures.
# Not a test: the figures depend on the machine and on its load.
#
#   tools/bench.sh [RUNS] [--programs BUILD] [--keep DIR] [--no-gbench] [--luns N] [--plugin-only]
#     RUNS          runs per single-process figure (default 100); the sweeps
#                   run once each
#     --programs    measure mpath_prio_tald, tald and libpriotald.so of another build tree
#                   (e.g. one of an older revision); the simulator and the
#                   measuring tools always come from build/normal
#     --keep DIR    keep the sweeps' answers and files in DIR
#     --no-gbench   skip the Google benchmarks
#     --luns N      an array of N LUNs (1..1024) instead of 1024, for a quick look
#     --plugin-only the plugin and the memory figures alone
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

runs=100
luns=1024
programs=
keep=
gbench=1
plugin_only=0
while (($#)); do
    case $1 in
    --programs) programs=$(cd "$2" && pwd); shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --no-gbench) gbench=0; shift ;;
    --luns) luns=$2; shift 2 ;;
    --plugin-only) plugin_only=1; shift ;;
    [0-9]*) runs=$1; shift ;;
    *) echo "usage: tools/bench.sh [RUNS] [--programs BUILD] [--keep DIR] [--no-gbench] [--luns N] [--plugin-only]" >&2; exit 2 ;;
    esac
done

# The state lives on tmpfs, as the figures of the issue were taken.
if [ -z "${TMPDIR:-}" ] && [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
    export TMPDIR=/dev/shm
fi
. tools/simenv.sh tald-bench
cmake --build "$top/$build" --target empty_program spawn_timer store_bench plugin_bench priotald \
    >/dev/null
plugin=$top/$build/src/plugin/libpriotald.so
if [ -n "$programs" ]; then
    callout=$programs/src/callout/mpath_prio_tald
    tald=$programs/src/command/tald
    plugin=$programs/src/plugin/libpriotald.so
fi
timer=$top/$build/tools/bench/spawn_timer
empty=$top/$build/tools/bench/empty_program
simlib=$top/$build/tools/simarray/libsimarray.so
conf=$state/tald.conf
node=/dev/sdb # C0P0 of LUN 0, the same node in both scenarios

# The array of 1024 LUNs x 4 paths, and a scenario of each node alone: each
# process of a sweep runs with its own node's, since parsing the whole array
# would cost every process more than the callout's own work. Single runs use
# LUN 0 alone (its four nodes are the same in both).
mkdir "$state/nodes"
tools/bench/gen_scenario.sh "$luns" "$state/nodes.txt" "$state/nodes" >"$state/big.scn"
tools/bench/gen_scenario.sh 1 "$state/nodes1.txt" >"$state/small.scn"

# on SCENARIO COMMAND...: runs COMMAND under the simulated array.
on() {
    local scn=$1
    shift
    LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/$scn.scn SIMARRAY_STATE_DIR=$state "$@"
}

# Peak resident set size in KiB: the largest of five runs.
peak_kib() { # STATE_DIR COMMAND...
    local dir=$1 i m max=0
    shift
    for i in 1 2 3 4 5; do
        m=$(LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/small.scn SIMARRAY_STATE_DIR=$dir \
            /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1)
        ((m > max)) && max=$m
    done
    echo "$max"
}

row() { # LABEL "WALL_US CPU_US" KIB
    awk -v l="$1" -v t="$2" -v base="$base" -v kib="$3" 'BEGIN {
        split(t, m, " "); split(base, b, " ")
        printf "%-42s %8.3f ms %6.2f x %8.3f ms %6.2f x %8s KiB\n", l, m[1] / 1000,
               m[1] / b[1], m[2] / 1000, m[2] / b[2], kib }'
}
header() { # TITLE [RSS_TITLE]
    echo
    printf '%-42s %11s %8s %11s %8s %12s\n' "$1" "wall" ratio "cpu" ratio "${2-peak RSS}"
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"
echo "state: $state ($(stat -f -c %T "$state")); callout: $callout"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
# LUN 0 stored alone, by the callout, for the single runs and the memory.
one=$state/one
mkdir "$one"
sim_env() { echo "LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/$1.scn SIMARRAY_STATE_DIR=$2"; }
LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/small.scn SIMARRAY_STATE_DIR=$one \
    "$callout" "$node" >/dev/null

if ((!plugin_only)); then
# The sweeps come first: they leave the file of 1024 LUNs for the single runs.
sweep() { # ANSWERS COMMAND...: "wall_ms cpu_ms"
    local answers=$1
    shift
    on big "$timer" sweep 2 "$state/nodes.txt" "$answers" "$state/nodes" -- "$@"
}
sweep_row() { # LABEL "WALL_MS CPU_MS"
    awk -v l="$1" -v t="$2" -v base="$sweep_base" 'BEGIN {
        split(t, m, " "); split(base, b, " ")
        printf "%-42s %8.2f s  %6.2f x %8.2f s  %6.2f x\n", l, m[1] / 1000, m[1] / b[1],
               m[2] / 1000, m[2] / b[2] }'
}
paths=$((4 * luns))
header "sweep of $paths paths, 2 at a time" ""
sweep_base=$(sweep "$state/answers-empty-program" "$empty")
sweep_row "$paths x empty C++ program" "$sweep_base"
rm -f "$conf"
sweep_row "$paths callouts from an empty file" "$(sweep "$state/answers-from-empty" "$callout")"
cp "$conf" "$state/conf-from-empty"
sweep_row "$paths callouts, every path known" "$(sweep "$state/answers-known" "$callout")"
cp "$conf" "$state/conf-known"
cmp -s <(sort "$state/conf-from-empty") <(sort "$state/conf-known") ||
    echo "warning: the second sweep changed the file's lines"
cmp -s "$state/answers-from-empty" "$state/answers-known" ||
    echo "warning: the two sweeps answered differently"
echo "file after the sweeps: $(wc -l <"$conf") LUNs, $(wc -c <"$conf") bytes"

# The single runs take turns, so that a change in the machine's load falls on
# all of them alike: the empty program, the callout with 1 LUN stored (a
# directory of its own), the callout with the 1024 LUNs of the sweeps, sg_inq,
# and the empty program under the whole array's scenario.
# shellcheck disable=SC2046 # the environment words are split on purpose
mapfile -t singles < <("$timer" runs "$runs" \
    -- $(sim_env small "$state") "$empty" \
    -- $(sim_env small "$one") "$callout" "$node" \
    -- $(sim_env small "$state") "$callout" "$node" \
    -- $(sim_env small "$state") /usr/bin/sg_inq --page=0x83 "$node" \
    -- $(sim_env big "$state") "$empty" | awk '{ print $1, $4 }')
base=${singles[0]}
header "single runs, taking turns (scenario: LUN 0 alone)"
row "empty C++ program" "$base" "$(peak_kib "$state" "$empty")"
row "mpath_prio_tald $node, 1 LUN stored" "${singles[1]}" "$(peak_kib "$one" "$callout" "$node")"
row "mpath_prio_tald $node, $luns LUNs stored" "${singles[2]}" \
    "$(peak_kib "$state" "$callout" "$node")"
row "sg_inq --page=0x83 $node" "${singles[3]}" \
    "$(peak_kib "$state" /usr/bin/sg_inq --page=0x83 "$node")"
echo "medians of $runs runs of wall time and of user + system time; peak RSS: largest of 5 runs"
awk -v t="${singles[4]}" -v base="$base" 'BEGIN { split(t, m, " "); split(base, b, " ")
    printf "(the sweeps give each process its own node'"'"'s scenario: the whole array'"'"'s would cost it %.2f ms more)\n", (m[2] - b[2]) / 1000 }'

fi

# The plugin as multipathd calls it, once every path is stored: each size in
# a state directory of its own, 4096 LUNs as the 1024 of the array and 3072
# of no node. At least 4096 calls of each.
echo
echo "plugin steady calls, taking turns with a bare in-process probe (medians; $plugin)"
echo "        stored  paths         plugin: wall, cpu          bare probe: wall, cpu     ratios     a host of 205 calls/s"
for n in 1 256 1024 4096; do
    real=$((n < luns ? n : luns))
    rounds=$((4096 / (4 * real)))
    ((rounds >= 5)) || rounds=5
    dir=$state/plugin$n
    mkdir "$dir"
    LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/big.scn SIMARRAY_STATE_DIR=$dir \
        "$top/$build/tools/bench/plugin_bench" "$plugin" "$dir" "$state/nodes.txt" "$real" \
        "$rounds" "$n"
done

# Memory: the callout on LUN 0's path with a file of 100,000 LUNs (LUN 0's
# line as the callout stored it, and 99,999 of no node).
huge=$state/huge
mkdir "$huge"
cp "$one/tald.conf" "$huge/tald.conf"
awk 'BEGIN {
    for (n = 1; n < 100000; n++) {
        line = sprintf("3ffff%027d,", n)
        for (cp = 0; cp < 4; cp++)
            line = line sprintf("/dev/pad%d_%d,%d:0:%d:%d,%d,", n, cp, 100 + cp, cp % 2, n % 256, cp + 1)
        for (k = 4; k < 16; k++)
            line = line "x,0:0:0:0,0,"
        print line "pad_" n
    } }' >>"$huge/tald.conf"
huge_bytes=$(wc -c <"$huge/tald.conf")
peak_one=$(peak_kib "$one" "$callout" "$node")
peak_huge=$(peak_kib "$huge" "$callout" "$node")
# shellcheck disable=SC2046
huge_time=$("$timer" runs 5 -- $(sim_env small "$huge") "$callout" "$node" | awk '{ print $1 / 1000 }')
echo
echo "callout $node on a file of 100000 LUNs ($huge_bytes bytes): peak RSS $peak_huge KiB, $huge_time ms (median of 5)"
echo "  target: at most its peak with 1 LUN ($peak_one KiB) + twice the file = $((peak_one + 2 * huge_bytes / 1024)) KiB"
cmp -s <(head -1 "$huge/tald.conf") "$one/tald.conf" || echo "warning: the callout rewrote the file of 100000 LUNs"

if ((!plugin_only)) && [ -n "$keep" ]; then
    mkdir -p "$keep"
    cp "$state"/answers-from-empty "$state"/answers-known "$state"/conf-from-empty \
        "$state"/conf-known "$keep"/
fi

if ((plugin_only)); then
    exit 0
fi

# A change that must reach the disk: tald --prio --set on a known path,
# alternating 5 and 6, with the 1024-LUN file, on a file system with a real
# fsync. Timed from the shell (its fork included), so only for the disk's share.
echo
disk=$(mktemp -d "$top/build/bench-disk.XXXXXX")
where=
if truncate -s 64M "$disk.img" 2>/dev/null && mkfs.ext4 -q -F "$disk.img" 2>/dev/null &&
    mount -o loop "$disk.img" "$disk" 2>/dev/null; then
    where="loop-mounted ext4 image on $(df --output=source "$top/build" | tail -1)"
else
    rm -f "$disk.img"
    where="directory $disk ($(stat -f -c %T "$disk"), no loop mount possible)"
fi
cleanup_disk() {
    if mountpoint -q "$disk"; then umount "$disk"; fi
    rm -rf "$disk" "$disk.img"
}
trap 'cleanup_disk; rm -rf "$state"' EXIT
cp "$conf" "$disk/tald.conf"
set_times() { # DIR: median ms of $runs alternating sets
    local dir=$1 i t0 t1 v
    for ((i = 0; i < runs; i++)); do
        v=$((5 + i % 2))
        t0=$EPOCHREALTIME
        LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$state/small.scn SIMARRAY_STATE_DIR=$dir \
            "$tald" --prio --set "$node" "$v" >/dev/null
        t1=$EPOCHREALTIME
        echo "$t0 $t1"
    done | awk '{ print ($2 - $1) * 1000 }' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}
# The disk's own share: the file written and synced, nothing else.
sync_times() { # DIR: median ms of $runs writes + fsync of the file
    local dir=$1 i t0 t1
    for ((i = 0; i < runs; i++)); do
        t0=$EPOCHREALTIME
        dd if="$conf" of="$dir/sync.test" bs=1M conv=fsync status=none
        t1=$EPOCHREALTIME
        echo "$t0 $t1"
    done | awk '{ print ($2 - $1) * 1000 }' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
    rm -f "$dir/sync.test"
}
echo "a change on disk: tald --prio --set $node 5/6 alternating, $luns LUNs stored"
echo "  on $where: $(set_times "$disk") ms (median)"
echo "  on tmpfs ($state): $(set_times "$state") ms (median)"
echo "the disk's share: dd of the file ($(wc -c <"$conf") bytes) with conv=fsync"
echo "  on $where: $(sync_times "$disk") ms (median)"
echo "  on tmpfs: $(sync_times "$state") ms (median)"

# The fleet commands: --export and --apply of an export at 1024, 4096 and
# 16384 LUNs stored (tools/bench/fleet_bench.sh), with the tald measured here.
echo
tools/bench/fleet_bench.sh 5 --tald "$tald"

if ((gbench)); then
    # With --programs, the benchmarks of that tree's store when it has them
    # (a tree older than tools/bench: see docs/performance.md).
    bench=$top/$build/tools/bench/store_bench
    for b in "$programs/tools/bench/store_bench" "$programs/store_bench"; do
        if [ -n "$programs" ] && [ -x "$b" ]; then bench=$b; break; fi
    done
    echo
    echo "== store benchmarks ($bench)"
    "$bench" --benchmark_min_time=0.2 2>&1 | grep -v '^\*\*\*'
fi
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
