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
CFG=/sys/kernel/config/target

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
    d=$CFG/core/user_$i/path$i
    mkdir -p $d
    echo -n "dev_config=quelvane/$i,dev_size=1048576" > $d/control
    echo 1 > $d/enable || bad "enable TCMU device $i"
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
    wwn=naa.5001405$(printf %09x $i)
    t=$CFG/loopback/$wwn/tpgt_1
    mkdir -p $t/lun/lun_0
    echo $wwn > $t/nexus
    ln -s $CFG/core/user_$i/path$i $t/lun/lun_0/path
    hct=$(cat $t/address)
    sd=
    # At most 30 s: a guest on a busy machine is slow, not wrong.
    for n in $(seq 300); do
        sd=$(ls /sys/class/scsi_device/$hct:0/device/block 2>/dev/null)
        [ -n "$sd" ] && break
        sleep 0.1
    done
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
    for n in $(seq 120); do
        paths_state | sort | grep -Fxf /tmp/wanted | cmp -s - /tmp/wanted && return
        sleep 0.5
    done
}
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
# An override taken up by the daemon's own path checks, without multipath -r.
tald --prio --set /dev/$first 7 > /dev/null 2>&1
settle $first 7
daemon_prios "override 7, path checks" $first 7
tald --prio --set /dev/$first 0 > /dev/null 2>&1
settle
daemon_prios "reset, path checks"
echo offline > /sys/block/$first/device/state
st=
for n in $(seq 120); do
    st=$(paths_state | awk -v s=$first '$1 == s { print $3 }')
    [ "$st" = faulty ] && break
    sleep 0.5
done
expect "multipathd: /dev/$first set offline" faulty "$st"
echo running > /sys/block/$first/device/state
for n in $(seq 120); do
    st=$(paths_state | awk -v s=$first '$1 == s { print $3 }')
    [ "$st" = ready ] && break
    sleep 0.5
done
expect "multipathd: /dev/$first back" ready "$st"
settle
daemon_prios "after offline and back"
timeout 20 multipathd shutdown > /dev/null 2>&1
wait $mpd
expect "multipathd exit status after shutdown" 0 $?
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
finish
