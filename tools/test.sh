#!/usr/bin/env bash
# Sets up, builds the normal and the sanitizer build and runs every test of
# both, then the extra stages: the Debian package (built in a Debian 11 root
# and installed into roots of Debian 11, 12 and 13), the fuzz targets, and
# the real-kernel guest under Debian 11, 12, 13 and sid, where those scripts
# exist. Every stage prints its own "N passed, M failed" line; the last line
# of all is the sum over the stages.
# Exits non-zero on any failure.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
tools/setup.sh || exit 1

jobs=$(nproc)
total_passed=0
total_failed=0

# stage NAME COMMAND...: runs the command with its output shown, and adds the
# counts of the last "N passed, M failed" line it printed to the total. A stage
# that fails without such a line (or without counting its failure) counts as
# one failure.
stage() {
    local name=$1 out status line p f
    shift
    echo "== $name"
    out=$(mktemp)
    "$@" 2>&1 | tee "$out"
    status=${PIPESTATUS[0]}
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$out" | tail -n 1)
    rm -f "$out"
    p=0 f=0
    [ -z "$line" ] || read -r p _ f _ <<<"$line"
    if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then
        f=1
        echo "$name: exit status $status"
    fi
    total_passed=$((total_passed + p))
    total_failed=$((total_failed + f))
}

# build_and_test VARIANT SANITIZE: one build and its ctest run, with a
# temporary directory of its own that must be empty afterwards.
build_and_test() {
    local dir=build/$1 tmp summary total failed leftover
    cmake -S . -B "$dir" -G Ninja -DTALD_SANITIZE="$2" >/dev/null || return 1
    cmake --build "$dir" -j "$jobs" || return 1
    tmp=$top/$dir/tmp
    rm -rf "$tmp" && mkdir -p "$tmp"
    TMPDIR=$tmp TEST_TMPDIR=$tmp ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 |
        tee "$dir/ctest.log"
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$dir/ctest.log" | tail -n 1)
    [ -n "$summary" ] || return 1
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<<"$summary")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    # One check more: the tests removed everything they created.
    total=$((total + 1))
    leftover=$(find "$tmp" -mindepth 1 -maxdepth 1 -printf '%f\n')
    if [ -n "$leftover" ]; then
        echo "left behind in the temporary directory:" $leftover
        failed=$((failed + 1))
    else
        rm -rf "$tmp"
    fi
    echo "$((total - failed)) passed, $failed failed"
    [ "$failed" -eq 0 ]
}

stage "normal build" build_and_test normal OFF
stage "sanitizer build" build_and_test sanitize ON
stage "Debian package" tools/package_test.sh
[ -x tools/fuzz.sh ] && stage "fuzz" tools/fuzz.sh 60
# The package under each release's own multipath and C library; the tree's
# build under Debian 12's when there is no package to prove.
deb=$(find build/package -maxdepth 1 -name 'quelvane-path-manager_*.deb' 2>/dev/null | head -n 1)
if [ -x tools/guest/run.sh ] && [ -n "$deb" ]; then
    for release in bullseye bookworm trixie sid; do
        stage "real-kernel guest, Debian $release" \
            env TALD_GUEST_RELEASE=$release TALD_GUEST_DEB="$top/$deb" tools/guest/run.sh
    done
elif [ -x tools/guest/run.sh ]; then
    stage "real-kernel guest" tools/guest/run.sh
fi

echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
