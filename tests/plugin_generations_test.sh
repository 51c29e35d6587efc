#!/usr/bin/env bash
# plugin_generations_test.sh PLUGIN SIMARRAY SCENARIO LOADER...: the plugin
# under each generation of multipath's loader (tests/plugin_generation.cpp),
# one call for /dev/sdz of the simulated array while another process holds
# the run lock for 1200 ms, the state in a temporary directory.
#   three arguments: the passed 300 ms bound the wait: -1, after at least
#     300 ms, logged once with that bound;
#   two arguments: the stale 1 in the third argument's register is never
#     read: the plugin waits its own 5000 ms, so the call gets the lock when
#     it is freed and answers sdz's priority, 4, logging nothing.
set -uo pipefail
plugin=$1 simarray=$2 scenario=$3
shift 3
hold_ms=1200
state=$(mktemp -d) || exit
trap 'rm -rf "$state"' EXIT
timed_out="syslog: 28 priotald: /dev/sdz: lock file /etc/lvm/cache/tald.lock still held by \
another run after 300 ms"
failed=0

for loader in "$@"; do
    name=${loader##*/}
    rm -f "$state/tald.lock" "$state/tald.conf"
    out=$(env LD_PRELOAD="$simarray" SIMARRAY_SCENARIO="$scenario" SIMARRAY_STATE_DIR="$state" \
        SIMARRAY_LOG= ASAN_OPTIONS=verify_asan_link_order=0 \
        "$loader" "$plugin" sdz "$hold_ms" 2>"$state/err")
    status=$?
    err=$(cat "$state/err")
    arguments=$(sed -n 's/^arguments=\([0-9]*\) .*/\1/p' <<<"$out")
    result=$(sed -n 's/.* result=\(-\{0,1\}[0-9]*\) .*/\1/p' <<<"$out")
    ms=$(sed -n 's/.* ms=\([0-9]*\)$/\1/p' <<<"$out")
    why=
    if [ "$status" -ne 0 ] || [ -z "$ms" ]; then
        why="exit status $status"
    elif [ "$arguments" = 3 ]; then
        [ "$result" = -1 ] && [ "$ms" -ge 295 ] && [ "$err" = "$timed_out" ] ||
            why="wanted -1 after 300 ms"
    elif [ "$arguments" = 2 ]; then
        # At least a part of the hold: the call began while the lock was held.
        [ "$result" = 4 ] && [ "$ms" -ge 200 ] && [ -z "$err" ] ||
            why="wanted 4 once the lock was free"
    else
        why="no arguments= line"
    fi
    if [ -z "$why" ]; then
        echo "ok    $name: $out"
    else
        failed=$((failed + 1))
        printf 'FAIL  %s: %s\n      %s\n' "$name" "$why" "$out"
        [ -z "$err" ] || printf '%s\n' "$err" | sed 's/^/      /'
    fi
done
[ "$#" -gt 0 ] || { echo "no loader given"; exit 1; }
[ "$failed" -eq 0 ]
