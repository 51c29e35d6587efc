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
    echo "--- units that took 1 s or more to start (s, from the boot):"
    # shellcheck disable=SC2046 # one word per unit
    systemctl show -p Id -p InactiveExitTimestampMonotonic -p ActiveEnterTimestampMonotonic -- \
        $(systemctl list-units --no-legend --plain --state=active 2> /dev/null | awk '{ print $1 }') |
        awk -F= '$1 == "Id" { u = $2 } $1 == "InactiveExitTimestampMonotonic" { s = $2 }
            $1 == "ActiveEnterTimestampMonotonic" && s > 0 && $2 - s >= 1000000 {
                printf "%.1f %.1f %s\n", ($2 - s) / 1e6, s / 1e6, u }' | sort -k1,1nr | head -n 15
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
# udev_profile T0: from the guest's uptime T0 on, the block devices'
# uevents (K kernel, U udev; by action and device), each event udev ran
# (its manager and its workers, "(udev-worker)" from systemd 251 on)
# (queued and run, ms), and inside a dm map's event each program and
# builtin udev ran, with its rule file and its ms (from udev's debug log:
# a program from "Starting" to its "Process ... succeeded/failed", a
# builtin to the event's next line); then a line "journal: SUITE: udev per
# dm path event: ..." with their count, mean and longest run.
udev_profile() {
    echo "--- uevents of block devices since $1 s:"
    awk '/^(KERNEL|UDEV)/ { l = $0; sub(/\[[^]]*\] */, " ", l); split(l, f, " ")
            n = f[3]; sub(/.*\//, "", n); c[substr(f[1], 1, 1) " " f[2] " " n]++ }
        END { for (k in c) print c[k], k }' /tmp/uevents | sort -k3
    journalctl -o short-monotonic --no-pager -u systemd-udevd 2> /dev/null |
        awk -v t="$1" -v suite="$suite" '
        { x = $0; sub(/^\[ */, "", x); sub(/\].*/, "", x); x += 0 }
        x < t { next }
        match($0, /^\[[^]]*\] [^ ]+ [^ ]*\[[0-9]+\]: /) {
            msg = substr($0, RSTART + RLENGTH); pid = substr($0, 1, RLENGTH - 2); sub(/.*\[/, "", pid)
            dm = (pid in cur) && dev[cur[pid]] ~ /^dm-/
            if (dm && (pid in bi)) {
                printf "udev:   %s builtin %s: %d ms\n", bir[pid], bi[pid], (x - bt[pid]) * 1000
                delete bi[pid]
            }
            if (match(msg, /rules\.d\/[^ ]+:[0-9]+/)) rule[pid] = substr(msg, RSTART + 8, RLENGTH - 8)
            if (match(msg, /rules\.d\/[^ ]+:[0-9]+ RUN /)) {
                r = msg; sub(/.* RUN /, "", r); run[pid, r] = rule[pid]
            }
            if (dm && match(msg, /builtin command .[^ ]+/)) {
                bi[pid] = substr(msg, RSTART + 17, RLENGTH - 18); bt[pid] = x; bir[pid] = rule[pid]
            }
            if (dm && match(msg, /^[^ ]+: Starting .*/)) {
                p = msg; sub(/^[^ ]+: Starting /, "", p); pr[pid] = p; pt[pid] = x
                prr[pid] = ((pid, p) in run) ? run[pid, p] " RUN" : rule[pid]
            }
            if (dm && (pid in pr) && msg ~ /Process .* (succeeded|failed)/) {
                printf "udev:   %s %s: %d ms\n", prr[pid], pr[pid], (x - pt[pid]) * 1000
                delete pr[pid]
            }
            if (!match(msg, /SEQNUM=[0-9]+/)) next
            seq = substr(msg, RSTART + 7, RLENGTH - 7)
            if (msg ~ /queued/) q[seq] = x
            else if (msg ~ /Processing device/) {
                s[seq] = x; cur[pid] = seq; dev[seq] = msg; sub(/:.*/, "", dev[seq])
            } else if (msg ~ /processed/ && (seq in s)) {
                ms = (x - s[seq]) * 1000
                printf "udev: %s event %s: queued %d ms, run %d ms\n", dev[seq], seq,
                    (seq in q) ? (s[seq] - q[seq]) * 1000 : -1, ms
                if (dev[seq] ~ /^dm-/) { n++; sum += ms; if (ms > top) top = ms }
                delete cur[pid]
            }
        }
        END { if (n) printf "journal: %s: udev per dm path event: %d events, %d ms on average, %d ms at most\n", suite, n, sum / n, top }'
}

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

# --- A path outside the preferred group fails in the kernel and returns
# (multipathd's checker finds it up and reinstates it): the look runs,
# nothing is written. udev's log at debug level meanwhile tells where its
# time on these path events goes (udev_profile).
mark "path outside the preferred group"
n=$(looks) e=$(($(count $LEFT) + $(count $BACK)))
t0=$(cut -d' ' -f1 /proc/uptime)
udevadm monitor --kernel --udev --subsystem-match=block > /tmp/uevents 2> /dev/null &
mon=$!
udevadm control --log-level=debug
dmsetup message "$wwid" 0 fail_path "$(cat "/sys/block/$low/dev")"
within 60 more_than looks || true
within 60 state_is "$low" "active ready" || true
quiet
udevadm control --log-level=info
kill "$mon"
expect "journal: /dev/$low (not preferred) failed and back: the look ran" yes \
    "$([ "$(looks)" -gt "$n" ] && echo yes || echo no)"
expect "journal: /dev/$low (not preferred) failed and back: entries" 0 \
    "$(($(count $LEFT) + $(count $BACK) - e))"
udev_profile "$t0" > /tmp/profile
cat /tmp/profile
udev_top=$(sed -n 's/^journal: .*, \([0-9]*\) ms at most$/\1/p' /tmp/profile)
mark "path outside the preferred group told"

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

# --- A burst of 50 path events, as a controller's failure makes them: 25
# fails and reinstates of the preferred path in the kernel, on LUN A's and
# LUN B's maps in turn: one look, and each LUN ends where it was. The check
# means something only when udev hands the events out closer together than
# the timer's delay: udev's monitor gives the time it finished each (after
# its RUN, the timer's restart), and the longest pause between two is shown
# beside the delay. Under TCG udev takes a second or two per dm event (see
# above), too near the shipped five seconds, so for this step alone a
# runtime drop-in gives the timer four times udev's longest event (at least
# 10 s); the single failure and return above ran with the shipped delay.
# The release's 60-kpartx.rules (its dmsetup_env takes 1 to 2 s of each
# dm event here) makes partition maps of a map's partition table; the
# array's LUNs have none (blkid found no table on either map), so it is
# masked for this step alone, in /run.
wwid2=$(paths | awk -v w="$wwid" '$2 != w && $3 > 1 { print $2; exit }')
pref2=$(paths | awk -v w="$wwid2" '$2 == w' | sort -k3,3n | awk 'END { print $1 }')
# shellcheck disable=SC2017 # whole seconds, rounded up, then four times
slow=$(( (${udev_top:-0} + 999) / 1000 * 4 ))
[ "$slow" -ge 10 ] || slow=10
drop=/run/systemd/system/tald-look.timer.d
mkdir -p "$drop"
printf '[Timer]\nOnActiveSec=\nOnActiveSec=%ss\n' "$slow" > "$drop/guest-burst.conf"
systemctl daemon-reload
parts=
for d in /sys/block/dm-*; do
    case $(cat "$d/dm/name") in "$wwid" | "$wwid2")
        udevadm info -q property -n "/dev/${d##*/}" | grep -q '^ID_PART_TABLE_TYPE=' && parts=yes ;;
    esac
done
if [ -z "$parts" ]; then
    mkdir -p /run/udev/rules.d
    ln -s /dev/null /run/udev/rules.d/60-kpartx.rules
    udevadm control --reload
fi
n=$(looks) e=$(($(count $LEFT) + $(count $BACK)))
udevadm monitor --udev --property --subsystem-match=block > /tmp/burst 2> /dev/null &
mon=$!
mark "burst"
for i in $(seq 25); do
    if [ $((i % 2)) = 1 ]; then m=$wwid sd=$pref; else m=$wwid2 sd=$pref2; fi
    dmsetup message "$m" 0 fail_path "$(cat "/sys/block/$sd/dev")"
    dmsetup message "$m" 0 reinstate_path "$(cat "/sys/block/$sd/dev")"
done
t0=$(date +%s)
udevadm settle --timeout=300 || echo "--- udev's queue not empty after 300 s"
trail=$(($(date +%s) - t0))
within 60 state_is "$pref" "active ready" || true
within 60 state_is "$pref2" "active ready" || true
quiet
kill "$mon"
burst=$(($(looks) - n)) written=$(($(count $LEFT) + $(count $BACK) - e))
# "EVENTS SPAN GAP": the path events udev finished, the seconds from the
# first to the last, the longest pause between two
spread=$(awk '/^UDEV/ && match($0, /\[[0-9.]+\]/) { t = substr($0, RSTART + 1, RLENGTH - 2) }
    /^DM_ACTION=PATH_(FAILED|REINSTATED)$/ { if (n++) { if (t - p > g) g = t - p } else f = t; p = t }
    END { printf "%d %.1f %.1f\n", n, p - f, g }' /tmp/burst)
delay() { systemctl show -p TimersMonotonic --value tald-look.timer | sed -n 's/.*OnActiveUSec=\([^ ;]*\).*/\1/p'; }
d=$(delay)
rm -r "$drop"
rm -f /run/udev/rules.d/60-kpartx.rules
udevadm control --reload
systemctl daemon-reload
echo "journal: $suite: burst: $(echo "$spread" | awk '{ printf "%d path events in %s s, the longest pause %s s", $1, $2, $3 }'), the timer's delay $d (shipped: $(delay))${parts:-, 60-kpartx.rules masked}"
expect "journal: a burst of path events: each within the timer's delay of the one before" yes \
    "$(echo "$spread $d" | awk '{ d = $4; sub(/s$/, "", d); print ($1 >= 50 && $3 < d + 0) ? "yes" : "no" }')"
expect "journal: a burst of 50 path events: looks" 1 "$burst"
echo "journal: $suite: burst of 50 path events: $burst look(s), $written entries, udev's queue empty $trail s after"
mark "burst told"

finish
