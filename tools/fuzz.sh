#!/usr/bin/env bash
# Builds the libFuzzer targets of tools/fuzz in build/fuzz (clang, with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each one for a
# bounded time, two at a time, from a copy of its seed corpus.
#
#   tools/fuzz.sh [SECONDS]     (default 60 per target)
#
# Prints per target the executions and the findings, then one line
# 'N passed, M failed'; a target passes when it found nothing. Exits non-zero
# on any finding. New inputs and findings stay out of the tree: they go to a
# temporary directory, which is kept (and its paths printed) only when
# something was found.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: tools/fuzz.sh [SECONDS]" >&2
    exit 2
fi

tools/setup.sh
build=build/fuzz
targets=(fuzz_pages fuzz_file fuzz_port fuzz_prio fuzz_json)
declare -A max_len=([fuzz_pages]=1024 [fuzz_port]=64 [fuzz_file]=8192 [fuzz_prio]=8192 [fuzz_json]=4096)
mkdir -p "$build"
# The build's output goes to a log; when it fails, its errors are shown.
if ! { CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTALD_FUZZ=ON &&
       cmake --build "$build" -j 2 --target fuzz_targets; } >"$build/build.log" 2>&1; then
    grep -E 'error|Error' "$build/build.log" | head -20 >&2
    echo "fuzz: the targets did not build (log: $build/build.log)" >&2
    echo "0 passed, ${#targets[@]} failed"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tald-fuzz.XXXXXX")
# The targets' scratch files (a crashed target cannot remove its own), on
# tmpfs where there is one: the store syncs every file it saves.
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=$work
scratch=$(mktemp -d "$shm/tald-fuzz-scratch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

run_target() {
    local t=$1 dir=$work/$1
    mkdir -p "$dir/corpus" "$dir/findings"
    cp tools/fuzz/corpus/"${t#fuzz_}"/* "$dir/corpus/"
    # The targets discard their traces themselves (FUZZ_TRACES=1 keeps them
    # when one input is run by hand); the reports reach the log.
    set +e
    FUZZ_SCRATCH=$scratch "$build/tools/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="${max_len[$t]}" -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/" "$dir/corpus" >"$dir/log" 2>&1
    echo $? >"$dir/status"
    set -e
}

running=0
for t in "${targets[@]}"; do
    if ((running == 2)); then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$t" &
    running=$((running + 1))
done
wait || true

passed=0
failed=0
for t in "${targets[@]}"; do
    dir=$work/$t
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" 2>/dev/null | tail -1)
    findings=$(find "$dir/findings" -type f ! -name 'slow-unit-*' 2>/dev/null | wc -l)
    status=$(cat "$dir/status" 2>/dev/null || echo "none")
    if ((findings == 0)) && [ "$status" = 0 ]; then
        passed=$((passed + 1))
        echo "$t: ${runs:-0} executions, 0 findings"
    else
        failed=$((failed + 1))
        echo "$t: ${runs:-0} executions, $findings findings (exit status $status)"
        find "$dir/findings" -type f ! -name 'slow-unit-*' | sed 's/^/    finding: /'
        grep -E 'invariant broken|ERROR: |SUMMARY: ' "$dir/log" 2>/dev/null | head -5 |
            sed 's/^/    /' || true
        echo "    log: $dir/log"
    fi
done
if ((failed == 0)); then
    rm -rf "$work"
fi
echo "$passed passed, $failed failed"
((failed == 0))
