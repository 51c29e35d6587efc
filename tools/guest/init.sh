#!/bin/busybox sh
# /init of the real-kernel test guest (busybox). Sets up one TCMU device per
# scenario node, each behind its own tcm_loop host, and checks the callout,
# tald, multipath with our prioritizer and multipathd on the resulting
# /dev/sdX nodes. Prints "CHECK PASS ..." / "CHECK FAIL ..." lines and
# "GUEST DONE" on the console, then powers off.
/bin/busybox --install -s /bin
export PATH=/usr/sbin:/sbin:/usr/bin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
mount -t tmpfs tmp /tmp
mkdir -p /etc/lvm/cache /etc/multipath /run/udev/data
exec </dev/console >/dev/console 2>&1

G=/etc/guest
SCN=$G/guest.scn
. $G/common.sh

ok() { echo "CHECK PASS $*"; }
bad() { echo "CHECK FAIL $*"; }
# expect NAME EXPECTED GOT
expect() {
    if [ "$2" = "$3" ]; then ok "$1: $3"; else bad "$1: expected '$2', got '$3'"; fi
}
finish() {
    echo "GUEST DONE"
    sync
    poweroff -f
}

for m in $(cat $G/modules); do
    insmod "$m" || echo "insmod $m failed"
done
mount -t configfs configfs /sys/kernel/config || bad "mount configfs"

# A Debian release's root (run.sh with TALD_GUEST_RELEASE): multipath,
# multipathd, tald and mpath_prio_tald run in it on its own C library, and
# see the guest's devices, state directory and multipath configuration.
R=
if [ -d /rel ]; then
    R=/rel
    for d in dev sys proc run tmp etc/lvm/cache etc/multipath; do
        mount -o rbind /$d $R/$d || bad "bind /$d into $R"
    done
    mount -o bind /etc/multipath.conf $R/etc/multipath.conf || bad "bind /etc/multipath.conf into $R"
fi

# --- One TCMU device per node, then one loopback target per device.
nodes=$(awk '$1 == "node" { print $2 }' $SCN)
i=0
for p in $nodes; do
    tcmu_device $i 1048576 || bad "enable TCMU device $i"
    i=$((i + 1))
done
v=; grep -q tald.verbose /proc/cmdline && v=-v
tald_tcmu $v $SCN 2>/tmp/tcmu.log &
tcmu_pid=$!
sleep 0.2
cat /tmp/tcmu.log

: > /tmp/map
i=0
for p in $nodes; do
    hct=$(tcmu_export $i)
    sd=$(tcmu_disk $hct)
    if [ -z "$sd" ]; then
        bad "node $p: no disk appeared at $hct:0"
        echo "--- tald_tcmu log"; cat /tmp/tcmu.log
        kill -0 $tcmu_pid 2>/dev/null || { wait $tcmu_pid; echo "tald_tcmu ended with status $?"; }
        finish
    else
        ok "node $p is /dev/$sd at $hct:0"
        echo "$p $sd $hct:0" >> /tmp/map
        # what udev would record: enough for multipath to take the device
        echo "I:$(date +%s)000000" > /run/udev/data/b$(cat /sys/block/$sd/dev)
    fi
    i=$((i + 1))
done
sd_of() { awk -v p="$1" '$1 == p { print $2 }' /tmp/map; }
addr_of() { awk -v p="$1" '$1 == p { print $3 }' /tmp/map; }

# --- The callout on every path: what the simulated array gives.
while IFS='	' read -r p prio wwid note alias; do
    sd=$(sd_of $p)
    [ -n "$sd" ] || continue
    n=; [ "$note" = - ] || n=", $note"
    expect "callout /dev/$sd (node $p$n)" "$prio" "$(mpath_prio_tald /dev/$sd)"
done < $G/expected
expect "callout on /dev/null" 0 "$(mpath_prio_tald /dev/null)"
: > /tmp/plain
expect "callout on a plain file" 0 "$(mpath_prio_tald /tmp/plain)"

# --- tald -l shows the kernel's addresses; --alias --get on a real node.
tald -l > /tmp/list 2>&1
while IFS='	' read -r p prio wwid note alias; do
    sd=$(sd_of $p)
    [ -n "$sd" ] && [ "$prio" -gt 0 ] || continue
    want="[$(addr_of $p)] [priority=$prio] [/dev/$sd]"
    if grep -qF "$want" /tmp/list; then ok "tald -l: $want"; else bad "tald -l lacks $want"; fi
done < $G/expected
while IFS='	' read -r p prio wwid note alias; do
    sd=$(sd_of $p)
    [ -n "$sd" ] && [ -n "$alias" ] || continue
    expect "tald --alias --get /dev/$sd" "$alias" "$(tald --alias --get /dev/$sd 2>&1)"
done < $G/expected
echo "--- tald -l"; cat /tmp/list

# --- multipath with our prioritizer.
if [ ! -e $R/lib/multipath/libpriotald.so ]; then
    bad "multipath: libpriotald.so was not built; multipath checks not run"
    finish
fi
# ll_prios FILE: "sdX PRIO WWID" for every path that multipath -ll shows; a
# map line is "WWID dm-N ..." or, with user_friendly_names, "NAME (WWID) dm-N ..."
ll_prios() {
    awk '/ dm-[0-9]+ / { w = $1
             for (i = 2; i <= NF; i++) if ($i ~ /^\([0-9a-f]+\)$/) w = substr($i, 2, length($i) - 2) }
         /prio=/ { s = $0; sub(/.*prio=/, "", s); sub(/ .*/, "", s); prio = s }
         / [0-9]+:[0-9]+:[0-9]+:[0-9]+ sd[a-z]+ / {
             for (i = 1; i <= NF; i++) if ($i ~ /^sd[a-z]+$/) print $i, prio, w }' "$1"
}
# check_groups TITLE FILE [SD PRIO]: every path's group priority as expected
check_groups() {
    title=$1 file=$2 osd=$3 oprio=$4
    ll_prios $file > /tmp/prios
    while IFS='	' read -r p prio wwid note alias; do
        sd=$(sd_of $p)
        [ -n "$sd" ] && [ "$wwid" != - ] || continue
        [ "$sd" = "$osd" ] && prio=$oprio
        want="$sd $prio $wwid"
        got=$(grep "^$sd " /tmp/prios)
        n=; [ "$note" = - ] || n=" ($note)"
        expect "$title: path group of /dev/$sd$n" "$want" "$got"
    done < $G/expected
}
timeout 60 multipath -v2 > /tmp/mp.log 2>&1
expect "multipath exit status" 0 $?
timeout 30 multipath -ll > /tmp/ll 2>/tmp/ll.err
check_groups "multipath -ll" /tmp/ll
echo "--- multipath -ll"; cat /tmp/ll

first=$(sd_of $(awk '{ print $1; exit }' $G/expected))
expect "tald --prio --set /dev/$first 7" 0 "$(tald --prio --set /dev/$first 7 >/dev/null 2>&1; echo $?)"
timeout 60 multipath -r > /tmp/mp.log 2>&1
expect "multipath -r exit status" 0 $?
timeout 30 multipath -ll > /tmp/ll 2>/tmp/ll.err
check_groups "override 7, multipath -r" /tmp/ll $first 7
expect "tald --prio --set /dev/$first 0" 0 "$(tald --prio --set /dev/$first 0 >/dev/null 2>&1; echo $?)"
timeout 60 multipath -r > /tmp/mp.log 2>&1
expect "multipath -r exit status" 0 $?
timeout 30 multipath -ll > /tmp/ll 2>/tmp/ll.err
check_groups "reset, multipath -r" /tmp/ll

# --- multipathd for a short while.
multipathd -d -s -v2 > /tmp/mpd.log 2>&1 &
mpd=$!
# paths_state: "sdX PRIO CHECKERSTATE" as the daemon sees them
paths_state() {
    timeout 10 multipathd show paths format "%d %p %T" 2>/dev/null | awk 'NR > 1 { print $1, $2, $3 }'
}
# wanted_state [SD PRIO]: "sdX PRIO ready" of every path of the array, as
# the daemon should show it (SD's priority PRIO).
wanted_state() {
    while IFS='	' read -r p prio wwid note alias; do
        sd=$(sd_of $p)
        [ -n "$sd" ] && [ "$wwid" != - ] || continue
        [ "$sd" = "$1" ] && prio=$2
        echo "$sd $prio ready"
    done < $G/expected
}
# settle [SD PRIO]: until the daemon shows every path as wanted_state says,
# at most 60 s; then daemon_prios tells what differs. A guest on a busy
# machine takes longer, so it is waited for rather than given fixed times.
settle() {
    wanted_state "$@" | sort > /tmp/wanted
    wait_for 120 0.5 settled || true
}
settled() { paths_state | sort | grep -Fxf /tmp/wanted | cmp -s - /tmp/wanted; }
settle
sleep 5   # a few rounds of path checks
# daemon_prios TITLE [SD PRIO]: the daemon's priority of every path
daemon_prios() {
    osd=$2 oprio=$3
    paths_state > /tmp/state
    while IFS='	' read -r p prio wwid note alias; do
        sd=$(sd_of $p)
        [ -n "$sd" ] && [ "$wwid" != - ] || continue
        [ "$sd" = "$osd" ] && prio=$oprio
        expect "$1: multipathd priority of /dev/$sd" "$sd $prio ready" "$(grep "^$sd " /tmp/state)"
    done < $G/expected
}
daemon_prios "path checks"
# reply NAME COMMAND...: the daemon's reply to a show command, between marker
# lines, for the reply parser's recorded test data (tools/guest/replies.sh
# takes them out of the console log).
reply() {
    name=$1
    shift
    echo "--- reply $name"
    timeout 10 multipathd "$@" 2>&1
    echo "--- end $name"
}
reply wildcards show wildcards
reply paths show paths format "%d|%D|%w|%p|%T|%t|%m"
reply maps-json show maps json
# An override taken up by the daemon's own path checks, without multipath -r.
tald --prio --set /dev/$first 7 > /dev/null 2>&1
settle $first 7
daemon_prios "override 7, path checks" $first 7
tald --prio --set /dev/$first 0 > /dev/null 2>&1
settle
daemon_prios "reset, path checks"
# tald's wait: an override on LUN A's path of the lowest default makes that
# path's group the highest; group_by_prio and failback immediate make it the
# one the kernel uses as soon as the daemon's check of the path takes the
# priority up. A map marks a group active only once I/O went through it
# after its table was loaded, so the checks read a block through the map.
low=$(head -n 4 $G/expected | sort -t '	' -k2,2n | awk '{ print $1; exit }')
high=$(head -n 4 $G/expected | sort -t '	' -k2,2n | awk '{ p = $1 } END { print p }')
low=$(sd_of $low) high=$(sd_of $high)
lowprio=$(awk -v s=$low '$1 == s { print $2 }' /tmp/state)
# waited TITLE STATUS PATTERN TALD-ARGS...: tald's status, and its last line
# (without its time) matches the shell pattern; shown with the time it took
waited() {
    title=$1 want_status=$2 want_line=$3
    shift 3
    w0=$(cut -d ' ' -f 1 /proc/uptime)
    tald "$@" > /tmp/waited 2>&1
    st=$?
    echo "--- tald $* (status $st, $(awk -v t=$w0 '{ printf "%.2f", $1 - t }' /proc/uptime) s)"; cat /tmp/waited
    expect "$title: exit status" "$want_status" "$st"
    got=$(tail -n 1 /tmp/waited | sed 's/, after [0-9.]* s$//')
    case "$got" in
    $want_line) ok "$title: line: $got" ;;
    *) bad "$title: line: expected '$want_line', got '$got'" ;;
    esac
}
# json_group FILE SD: the group state the JSON listing gives for SD's path
json_group() {
    awk -v d="\"/dev/$2\"," '$1 == "\"device\":" { m = ($2 == d) }
         m && $1 == "\"group_state\":" { s = $2; gsub(/[",]/, "", s); print s; exit }' "$1"
}
# read_through SD: one block read through the map that holds SD's path
reads=0
read_through() {
    reads=$((reads + 1))
    dm=$(ls /sys/block/$1/holders | head -n 1)
    dd if=/dev/$dm of=/dev/null bs=4096 count=1 skip=$reads iflag=direct 2>/dev/null ||
        dd if=/dev/$dm of=/dev/null bs=4096 count=1 skip=$reads 2>/dev/null
}
# group_becomes TITLE SD STATE: within 10 s the JSON listing gives STATE for SD's group
group_becomes() {
    wait_for 20 0.5 group_is $2 $3 || true
    expect "$1" "$3" "$(json_group /tmp/json $2)"
}
group_is() {
    read_through $1
    tald -l --json > /tmp/json 2>&1
    [ "$(json_group /tmp/json $1)" = "$2" ]
}
# The metrics' preferred group of LUN A (1, 0 or none) is what the JSON
# listing's groups give: whether a group is active, and whether it holds a
# path of the LUN's highest stored priority.
wwid_a=$(awk -F '	' '{ print $3; exit }' $G/expected)
preferred_follows() {
    tald -l --json > /tmp/json 2>&1
    tald --metrics > /tmp/metrics 2>&1
    want=$(awk -v w="\"$wwid_a\"," '$1 == "\"wwid\":" { on = ($2 == w) }
        on && /^          "priority":/ { p = $2 + 0; if (p > top) top = p }
        on && $1 == "\"group_state\":" { n++; pr[n] = p; g[n] = ($2 == "\"active\"") }
        END { for (i = 1; i <= n; i++) if (g[i]) { known = 1; hit = hit || pr[i] == top }
              print known ? hit + 0 : "none" }' /tmp/json)
    got=$(sed -n "s/^tald_multipathd_lun_preferred_group_active{wwid=\"$wwid_a\",.*} //p" /tmp/metrics)
    expect "tald --metrics, $1: preferred group active as the JSON listing's groups give" "$want" "${got:-none}"
}
waited "tald --prio --set /dev/$low 8 --wait" 0 \
    "multipathd: $low priority 8, ready, path group *" --prio --set /dev/$low 8 --wait 20
preferred_follows "override 8, before I/O"
expect "multipathd show paths after the wait" "$low 8 ready" "$(paths_state | grep "^$low ")"
group_becomes "override 8: the active group is the one of /dev/$low" $low active
preferred_follows "override 8, after I/O"
expect "tald --metrics, override 8, after I/O: on the preferred group" 1 "$want"
waited "tald --prio --get /dev/$low --wait, after I/O" 0 \
    "multipathd: $low priority 8, ready, path group active" --prio --get /dev/$low --wait
waited "tald --prio --set /dev/$low 0 --wait" 0 \
    "multipathd: $low priority $lowprio, ready, path group *" \
    --prio --set /dev/$low 0 --wait 20
preferred_follows "reset, before I/O"
group_becomes "reset: the active group is the one of /dev/$high again" $high active
preferred_follows "reset, after I/O"
expect "reset: the group of /dev/$low is no longer the active one" enabled "$(json_group /tmp/json $low)"
waited "tald --prio --get /dev/$low --wait, after the reset" 0 \
    "multipathd: $low priority $lowprio, ready, path group enabled" --prio --get /dev/$low --wait
# The JSON listing's daemon fields are what multipathd show paths prints.
# json_daemon: "sdX PRIO STATE" for every stored path with the daemon's fields
json_daemon() {
    awk '/"device":/ { d = $2; gsub(/[",]/, "", d); sub("/dev/", "", d) }
         /"multipathd": \{/ { m = 1; next }
         m && /"priority":/ { p = $2; gsub(/,/, "", p) }
         m && /"state":/ { s = $2; gsub(/[",]/, "", s); print d, p, s; m = 0 }' "$1"
}
tald -l --json > /tmp/json 2>&1
paths_state > /tmp/state
echo "--- tald -l --json"; cat /tmp/json
expect "tald -l --json: multipathd reached" 1 "$(grep -c '"multipathd_reached": true' /tmp/json)"
n=0
json_daemon /tmp/json > /tmp/jd
while read -r d p s; do
    expect "tald -l --json: multipathd fields of /dev/$d" "$(grep "^$d " /tmp/state)" "$d $p $s"
    n=$((n + 1))
done < /tmp/jd
expect "tald -l --json: paths with the daemon's fields" 8 $n
# The metrics' daemon samples are what multipathd show paths prints too.
tald --metrics > /tmp/metrics 2>&1
echo "--- tald --metrics"; grep -v '^#' /tmp/metrics
sed -n 's/^tald_multipathd_path_checker_state{.*device="\/dev\/\([a-z]*\)".*state="\([^"]*\)"} 1$/\1 \2/p' \
    /tmp/metrics > /tmp/mstate
sed -n 's/^tald_multipathd_path_priority{.*device="\/dev\/\([a-z]*\)".*} \(-*[0-9]*\)$/\1 \2/p' /tmp/metrics |
while read -r d p; do
    s=$(awk -v d=$d '$1 == d { print $2 }' /tmp/mstate)
    expect "tald --metrics: multipathd's samples of /dev/$d" "$(grep "^$d " /tmp/state)" "$d $p $s"
done
expect "tald --metrics: paths with the daemon's samples" 8 \
    "$(grep -c '^tald_multipathd_path_priority{' /tmp/metrics)"
echo offline > /sys/block/$first/device/state
# first_is STATE: the daemon's state of the first path (in st) is STATE
first_is() { st=$(paths_state | awk -v s=$first '$1 == s { print $3 }'); [ "$st" = "$1" ]; }
wait_for 120 0.5 first_is faulty || true
expect "multipathd: /dev/$first set offline" faulty "$st"
reply paths-faulty show paths format "%d|%D|%w|%p|%T|%t|%m"
reply maps-json-faulty show maps json
echo running > /sys/block/$first/device/state
wait_for 120 0.5 first_is ready || true
expect "multipathd: /dev/$first back" ready "$st"
settle
daemon_prios "after offline and back"
# --- A controller drained and given back (tald --drain, --restore).
. $G/drain.sh
timeout 20 multipathd shutdown > /dev/null 2>&1
wait $mpd
expect "multipathd exit status after shutdown" 0 $?
# No daemon: the wait ends at once with its own status.
t0=$(date +%s)
waited "tald --prio --get /dev/$low --wait, no multipathd" 3 \
    "multipathd: not reached (no daemon listening)" --prio --get /dev/$low --wait 30
expect "tald --wait without multipathd: ended within 2 s" yes \
    "$([ $(($(date +%s) - t0)) -le 2 ] && echo yes || echo "no: $(($(date +%s) - t0)) s")"
tald -l --json > /tmp/json 2>&1
echo "--- tald -l --json, no multipathd"; tail -n 3 /tmp/json
expect "tald -l --json without multipathd: not reached" 1 "$(grep -c '"multipathd_reached": false' /tmp/json)"
expect "tald -l --json without multipathd: no daemon fields" 0 "$(grep -c '"multipathd"' /tmp/json)"
tald --metrics > /tmp/metrics 2>&1
expect "tald --metrics without multipathd: reached 0, no sample of the daemon's" \
    "tald_multipathd_reached 0" "$(grep '^tald_multipathd_' /tmp/metrics)"
# libmultipath reports a call of its API with a wrong argument; a prioritizer
# that asks for the host's release must ask in libmultipath's own terms.
got=$(grep -h "invalid value\|libmp_get_version" /tmp/mpd.log /tmp/mp.log /tmp/ll.err)
expect "multipath and multipathd: no complaint about a library call" "" "$got"
echo "--- multipathd log"; tail -n 30 /tmp/mpd.log

# --- The example configuration the package ships, as an admin installs it.
if [ -f $G/multipath.conf.plugin ]; then
    timeout 30 multipath -F > /dev/null 2>&1
    cp $G/multipath.conf.plugin /etc/multipath.conf
    # A host that never ran multipath: Debian's multipath-tools take only the
    # WWIDs an admin added (find_multipaths "strict"), one `multipath -a` each.
    rm -f /etc/multipath/wwids /etc/multipath/bindings
    timeout 30 multipath -t 2>/dev/null | grep -m1 find_multipaths
    for sd in $(awk '{ print $2 }' /tmp/map); do
        timeout 30 multipath -a /dev/$sd > /dev/null 2>&1
    done
    timeout 60 multipath -v2 > /tmp/mp.log 2>&1
    expect "shipped multipath.conf.plugin: multipath exit status" 0 $?
    timeout 30 multipath -ll > /tmp/ll 2>/tmp/ll.err
    check_groups "shipped multipath.conf.plugin" /tmp/ll
    echo "--- multipath -ll with the shipped example"; cat /tmp/ll
fi
# --- The journal stage: the release's systemd on the journal disk (run.sh
# with TALD_GUEST_JOURNAL=1), which powers off when its checks are done.
[ -f $G/journal/boot.sh ] && . $G/journal/boot.sh
finish
