#!/usr/bin/env bash
# The sweep of multipath's start-up, small: 64 LUNs x 4 paths, two callouts at
# a time under the simulated array, from an empty file and again with every
# path known. Every answer is the path's default, both sweeps answer alike,
# and the file ends with one line per LUN, the same set of lines both times
# (no update lost between concurrent runs).
#   sweep_test.sh SPAWN_TIMER GEN_SCENARIO CALLOUT SIMARRAY_LIB
set -euo pipefail
timer=$1 gen=$2 callout=$3 lib=$4
# A sanitized callout under the (unsanitized) preload library.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/nodes"
"$gen" 64 "$dir/nodes.txt" "$dir/nodes" >/dev/null
sweep() {
    LD_PRELOAD=$lib SIMARRAY_STATE_DIR=$dir "$timer" sweep 2 "$dir/nodes.txt" "$1" \
        "$dir/nodes" -- "$callout" >/dev/null
}
sweep "$dir/first"
sort "$dir/tald.conf" >"$dir/first.conf"
sweep "$dir/second"
sort "$dir/tald.conf" >"$dir/second.conf"

# Node i (0-based) is path i / 64 (C0P0, C1P0, C0P1, C1P1) of LUN i % 64,
# whose lunref is i % 64.
awk '{ i = NR - 1; n = i % 64; split("0 2 1 3", cp); split("0 2 1 3", s)
       want = (cp[int(i / 64) + 1] + s[n % 4 + 1]) % 4 + 1
       if ($2 != want) { print "wrong answer: " $0 ", want " want; bad = 1 } }
     END { exit bad }' "$dir/first"
cmp "$dir/first" "$dir/second"
cmp "$dir/first.conf" "$dir/second.conf"
[ "$(wc -l <"$dir/first.conf")" -eq 64 ] || { echo "want 64 lines"; exit 1; }
# Each line holds its LUN's four paths.
awk -F, '{ n = 0; for (i = 2; i <= 47; i += 3) if ($i != "x") n++
           if (n != 4) { print "not 4 paths: " $1; bad = 1 } } END { exit bad }' "$dir/first.conf"
