#!/bin/sh
# The journal stage's checks, run by the release's systemd (unit
# tald-guest-journal.service) on the journal disk, after the guest's /init
# handed PID 1 over with the array's paths up. The chain is a host's own:
# a path of the array stops answering (its tcm_loop target port taken
# offline), multipathd's path checker fails it in the kernel, the kernel's
# dm uevent reaches systemd-udevd, the package's rule runs systemctl
# --no-block restart tald-look.timer, the timer starts tald-look.service
# five seconds after the last event, and tald --look writes to
# systemd-journald; the entries are read back with journalctl -o json.
# Prints "CHECK PASS ..."/"CHECK FAIL ..." and the lines "journal: SUITE:
# ..." with the seconds from a path's failure to its entry, "--- T s: ..."
# lines with the guest's uptime at each step, then "GUEST DONE", and powers
# off.
. /etc/tald-guest/common.sh
suite=$(cat /etc/tald-guest/release)
LEFT=f59cf751e03b4f7998c3d6bba04dc167
BACK=da3d54cdb82b4107ab3daac2ae504455

ok() { echo "CHECK PASS $*"; }
bad() { echo "CHECK FAIL $*"; }
expect() {
    if [ "$2" = "$3" ]; then ok "$1: $3"; else bad "$1: expected '$2', got '$3'"; fi
}
finish() {
    mark "done"
    echo "--- the journal"
    journalctl -o short-monotonic --no-pager | tail -n 300
    echo "GUEST DONE"
    sync
    systemctl poweroff --force --force
}

# paths: "sdX WWID PRIO DMSTATE CHECKERSTATE" as multipathd holds them
paths() { timeout 10 multipathd show paths format "%d %w %p %t %T" 2>/dev/null | awk 'NR > 1'; }
# entries ID [WWID]: the journal's entries of message id ID, one JSON object a line
entries() { journalctl -o json --no-pager MESSAGE_ID="$1" ${2:+TALD_WWID="$2"} 2>/dev/null; }
count() { entries "$@" | grep -c .; }
# looks: how many looks ran to their end ("look: N LUNs, ..." on their output)
looks() { journalctl -o cat --no-pager _SYSTEMD_UNIT=tald-look.service 2>/dev/null | grep -c '^look: '; }
# field NAME: the string field NAME of the JSON object on standard input
field() { sed -n "s/.*\"$1\" *: *\"\\([^\"]*\\)\".*/\\1/p" | tail -n 1; }
# port SD: the transport state file of the tcm_loop target port behind SD
port() {
    local i
    i=$(awk -v s="$1" '$2 == s { print NR - 1 }' /etc/tald-guest/map)
    echo "$CFG/loopback/naa.5001405$(printf %09x "$i")/tpgt_1/transport_status"
}
# mark WHAT: the guest's uptime at a step, on the console
mark() { echo "--- $(cut -d' ' -f1 /proc/uptime) s: $*"; }
# idle: the timer not armed, no look running or queued
idle() {
    [ "$(systemctl show -p SubState --value tald-look.timer)" != waiting ] &&
        [ "$(systemctl show -p ActiveState --value tald-look.service)" != activating ] &&
        ! systemctl list-jobs --no-legend 2>/dev/null | grep -q tald-look
}
# quiet: udev's queue empty (each event armed the timer), then no look
# armed, running or queued
quiet() {
    udevadm settle --timeout=120 || echo "--- udev's queue not empty after 120 s"
    within 60 idle || echo "--- the look not idle after 60 s"
}
state_is() { paths | awk -v s="$1" '$1 == s { print $4, $5 }' | grep -qx "$2"; }
more_than() { [ "$("$@")" -gt "$n" ]; }
# since T0 ID: seconds (tenths) from T0 (microseconds) to the last entry of ID
since() {
    local t1
    t1=$(entries "$2" "$wwid" | tail -n 1 | field __REALTIME_TIMESTAMP)
    [ -n "$t1" ] || { echo none; return; }
    echo "$(((t1 - $1) / 1000000)).$((((t1 - $1) / 100000) % 10))"
}
# within SECONDS COMMAND...: COMMAND again every half second until it
# succeeds, for at most SECONDS (each try under TCG takes its own while)
within() {
    local end=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.5
    done
}
now_us() { t=$(date +%s%N); echo "${t%???}"; }

# --- multipathd up with LUN A's four paths (the map's first node).
first=$(awk 'NR == 1 { print $2 }' /etc/tald-guest/map)
all_up() {
    wwid=$(paths | awk -v s="$first" '$1 == s { print $2 }')
    [ -n "$wwid" ] && [ "$(paths | awk -v w="$wwid" '$2 == w && $3 > 0 && $4 == "active" && $5 == "ready"' |
        grep -c .)" -eq 4 ]
}
mark "checks start"
if ! within 120 all_up; then
    bad "journal: multipathd holds LUN A's four paths, active and ready"
    paths
    finish
fi
paths | awk -v w="$wwid" '$2 == w'
pref=$(paths | awk -v w="$wwid" '$2 == w' | sort -k3,3n | awk 'END { print $1 }')
low=$(paths | awk -v w="$wwid" '$2 == w' | sort -k3,3n | awk 'NR == 1 { print $1 }')
quiet
mark "multipathd up, udev settled"
expect "journal: no entry of a look at boot, nothing having changed" "0 0" "$(count $LEFT) $(count $BACK)"

# --- The preferred path stops answering: one entry for its LUN; and back.
# fail_and_return SD ID STATE WORD: SD's port set STATE, multipathd's view
# of SD waited for, the entry of ID waited for; prints the seconds line
step() {
    local sd=$1 id=$2 to=$3 want=$4 word=$5 t0 n
    n=$(count "$id" "$wwid")
    t0=$(now_us)
    echo "$to" > "$(port "$sd")"
    within 60 more_than count "$id" "$wwid" || true
    secs=$(since "$t0" "$id")
    within 60 state_is "$sd" "$want" || true
    quiet
    expect "journal: /dev/$sd $word: entries for LUN A" 1 "$(($(count "$id" "$wwid") - n))"
    expect "journal: /dev/$sd $word: written by" tald-look.service \
        "$(entries "$id" "$wwid" | tail -n 1 | field _SYSTEMD_UNIT)"
    echo "journal: $suite: path $word to entry $secs s"
    mark "path $word told"
}
step "$pref" $LEFT offline "failed faulty" failure
expect "journal: no entry for another LUN" 1 "$(count $LEFT)"
step "$pref" $BACK online "active ready" return
expect "journal: no return entry for another LUN" 1 "$(count $BACK)"

# --- A burst of 50 path events (25 fails and reinstates of the preferred
# path, in the kernel): one look, and the LUN ends where it was.
# udev's work per path event here, under TCG: the systemctl of our rule,
# and the release's multipath -U that its own rule runs on the same event
per_call() {
    local t0 i
    t0=$(date +%s%N)
    for i in 1 2 3 4 5; do "$@" > /dev/null 2>&1; done
    echo $((($(date +%s%N) - t0) / 5000000))
}
for d in /sys/block/dm-*; do [ "$(cat "$d/dm/name")" = "$wwid" ] && dm=${d##*/}; done
ours=$(per_call systemctl --no-block restart tald-look.timer)
theirs=$(per_call multipath -U "$dm")
echo "journal: $suite: per path event: our systemctl $ours ms, multipath -U $theirs ms"
quiet
n=$(looks) e=$(($(count $LEFT) + $(count $BACK)))
dev=$(cat /sys/block/$pref/dev)
mark "burst"
for i in $(seq 25); do
    dmsetup message "$wwid" 0 fail_path "$dev"
    dmsetup message "$wwid" 0 reinstate_path "$dev"
done
t0=$(date +%s)
udevadm settle --timeout=300 || echo "--- udev's queue not empty after 300 s"
trail=$(($(date +%s) - t0))
within 60 state_is "$pref" "active ready" || true
quiet
burst=$(($(looks) - n)) written=$(($(count $LEFT) + $(count $BACK) - e))
expect "journal: a burst of 50 path events: looks" 1 "$burst"
echo "journal: $suite: burst of 50 path events: $burst look(s), $written entries, udev's queue empty $trail s after"
mark "burst told"

# --- A path outside the preferred group fails in the kernel and returns
# (multipathd's checker finds it up and reinstates it): the look runs,
# nothing is written.
mark "path outside the preferred group"
n=$(looks) e=$(($(count $LEFT) + $(count $BACK)))
dmsetup message "$wwid" 0 fail_path "$(cat "/sys/block/$low/dev")"
within 60 more_than looks || true
quiet
within 60 state_is "$low" "active ready" || true
quiet
expect "journal: /dev/$low (not preferred) failed and back: the look ran" yes \
    "$([ "$(looks)" -gt "$n" ] && echo yes || echo no)"
expect "journal: /dev/$low (not preferred) failed and back: entries" 0 \
    "$(($(count $LEFT) + $(count $BACK) - e))"
finish
