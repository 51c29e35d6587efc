#!/usr/bin/env bash
# Sets up, builds the normal and the sanitizer build and runs every test of
# both, then the extra stages: the metrics under Debian's promtool and
# node_exporter, the example fleet play under Debian's ansible-playbook, the
# Cockpit page in Debian's headless chromium through cockpit-ws, the
# journal's entries, catalog and support bundle under a real journald,
# journalctl and sos report, the
# Debian package (built in a Debian 11 root
# and installed into roots of Debian 11, 12 and 13), the fuzz targets, the
# package in the real-kernel guest under Debian 11, 12, 13 and sid (on 11,
# 12 and 13 the same boot goes on to the look's journal entries through the
# release's own udev, systemd and journald), and a
# boot from SAN with it under Debian 11, 12 and 13 (initramfs-tools) and 13
# (dracut).
# Every stage prints its own "N passed, M failed" line; the summary at the
# end lists each stage with its counts and time, and its last line is the
# sum over the stages. A stage that could not run, a test that was skipped
# and a compiler warning each count as a failure.
# Exits non-zero on any failure.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
tools/setup.sh || exit 1
# The Debian roots of the later stages (tools/roots.sh), made in the
# background while the builds run, at the lowest priority: the downloads
# and dpkg's work wait on the network and the disk more than on the cores.
# A stage that asks for a root being made waits for it, and makes it itself
# should the job have failed; the job's log is build/roots.log.
mkdir -p build
setsid nice -n 19 tools/roots.sh >build/roots.log 2>&1 </dev/null &
roots_job=$!
# (its own process group, ended with the run: debroot.sh's namespace and
# lock go with it, and a root cut short is made again by the next run)
trap 'kill -- -$roots_job 2>/dev/null' EXIT
echo "== Debian roots: made in the background (log: build/roots.log)"

jobs=$(nproc)
total_passed=0
total_failed=0
summary=()

# minutes SECONDS: "3 min 5 s", or "45 s".
minutes() {
    if (($1 >= 60)); then echo "$(($1 / 60)) min $(($1 % 60)) s"; else echo "$1 s"; fi
}

# record NAME PASSED FAILED SECONDS [NOTE]: one line of the summary.
record() {
    summary+=("$(printf '%-38s %4d passed, %3d failed  %-13s %s' "$1" "$2" "$3" "$(minutes "$4")" "${5:-}")")
    total_passed=$((total_passed + $2))
    total_failed=$((total_failed + $3))
}

# stage NAME COMMAND...: runs the command with its output shown, and records
# the counts of the last "N passed, M failed" line it printed. A stage that
# fails without such a line (or without counting its failure) counts as one
# failure. A line "WHO: not run: WHY" of the stage goes into the summary.
stage() {
    local name=$1 out status line p f begun=$SECONDS note
    shift
    echo "== $name"
    out=$(mktemp)
    "$@" 2>&1 | tee "$out"
    status=${PIPESTATUS[0]}
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$out" | tail -n 1)
    note=$(grep -m 1 -E '^[a-z]+: not run: ' "$out" | sed 's/^[a-z]*: //')
    rm -f "$out"
    p=0 f=0
    [ -z "$line" ] || read -r p _ f _ <<<"$line"
    if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then
        f=1 note=${note:-"exit status $status"}
        echo "$name: exit status $status"
    fi
    record "$name" "$p" "$f" "$((SECONDS - begun))" "$note"
}

# not_run NAME WHY: a stage that could not run counts as one failure.
not_run() {
    echo "== $1: not run: $2"
    record "$1" 0 1 0 "not run: $2"
}

# build_and_test VARIANT SANITIZE: one build and its ctest run, with a
# temporary directory of its own that must be empty afterwards. Warnings are
# errors here, and the normal build is fortified as Debian builds the
# package (-D_FORTIFY_SOURCE=2 warns of ignored results the plain build does
# not). A test that skipped itself counts as failed: run as root with
# tools/setup.sh's packages, none does.
build_and_test() {
    local dir=build/$1 tmp summary total failed skipped leftover flags=-Werror
    [ "$2" = ON ] || flags="$flags -D_FORTIFY_SOURCE=2"
    cmake -S . -B "$dir" -G Ninja -DTALD_SANITIZE="$2" -DCMAKE_CXX_FLAGS="$flags" >/dev/null || return 1
    cmake --build "$dir" -j "$jobs" || return 1
    tmp=$top/$dir/tmp
    rm -rf "$tmp" && mkdir -p "$tmp"
    # --timeout only stops a hung test: the longest (callout_sweep, 512
    # sanitized callouts) takes a minute, and over ten on a machine loaded
    # far beyond its cores.
    TMPDIR=$tmp TEST_TMPDIR=$tmp ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 1800 |
        tee "$dir/ctest.log"
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$dir/ctest.log" | tail -n 1)
    [ -n "$summary" ] || return 1
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<<"$summary")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    # ctest counts a skipped test as passed.
    skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$dir/ctest.log")
    ((skipped == 0)) || echo "skipped, counted as failed: $skipped (listed above)"
    failed=$((failed + skipped))
    # One check more: the tests removed everything they created. A failed
    # test keeps its directory for inspection; that is no second failure.
    total=$((total + 1))
    leftover=$(find "$tmp" -mindepth 1 -maxdepth 1 -printf '%f\n')
    if [ -n "$leftover" ] && [ "$failed" -gt 0 ]; then
        echo "kept for inspection in $tmp:" $leftover
    elif [ -n "$leftover" ]; then
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
stage "metrics: promtool, node_exporter" tools/metrics_test.sh
stage "fleet: example play, ansible-playbook" tools/fleet_test.sh
stage "cockpit page: chromium, cockpit-ws" tools/cockpit_test.sh
stage "journal: journald, journalctl, sos report" tools/journal_test.sh "$top/build/normal"
# Only a package built by this run goes into the guests.
rm -f build/package/*.deb
stage "Debian package" tools/package_test.sh
stage "fuzz" tools/fuzz.sh 60
# The package under each release's own multipath and C library. Without a
# package those stages cannot run; the tree's own build goes into the guest
# instead, so that the guest's checks still say what they can.
deb=$(find build/package -maxdepth 1 -name 'quelvane-path-manager_*.deb' 2>/dev/null | head -n 1)
# On 11, 12 and 13 the guest goes on to the journal stage (its "journal:
# SUITE: ..." lines give the seconds from a path's failure to its entry).
for release in bullseye bookworm trixie sid; do
    journal=1
    [ "$release" != sid ] || journal=0
    if [ -n "$deb" ]; then
        stage "real-kernel guest, Debian $release" \
            env TALD_GUEST_RELEASE=$release TALD_GUEST_JOURNAL=$journal TALD_GUEST_DEB="$top/$deb" \
            tools/guest/run.sh
    else
        not_run "real-kernel guest, Debian $release" "no package (the package stage failed)"
    fi
done
[ -n "$deb" ] || stage "real-kernel guest, the tree's build" tools/guest/run.sh
# Boot from SAN: each release's kernel and initramfs (made by its own
# builder with the package installed) boot a root on the array's LUN.
for pair in bullseye:initramfs-tools bookworm:initramfs-tools trixie:initramfs-tools trixie:dracut; do
    name="boot from SAN, Debian ${pair%%:*}, ${pair#*:}"
    if [ -n "$deb" ]; then
        stage "$name" tools/guest/san_boot.sh "${pair%%:*}" "${pair#*:}" "$top/$deb"
    else
        not_run "$name" "no package (the package stage failed)"
    fi
done

echo "== Summary: $(minutes "$SECONDS") in all"
printf '%s\n' "${summary[@]}" | sed 's/ *$//'
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
