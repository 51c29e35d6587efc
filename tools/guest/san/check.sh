#!/bin/sh
# Test-only init (init=/usr/local/sbin/tald-san-check) on the real root of
# tools/guest/san_boot.sh's guest, once the initramfs switched to it: what the
# real root's state directory holds (the initramfs wrote nothing there),
# what the release's multipathd shows after its path checks, then what its
# path checks make of it where the plugin cannot write (the state directory
# missing, the root read-only). Parts between "=== tald-test: NAME" and "=== tald-test: end
# NAME" lines on the console; powers off at the end.
export PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin
exec </dev/console >/dev/console 2>&1
. /etc/tald-test/common.sh
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mountpoint -q /run || mount -t tmpfs run /run
part() {
    name=$1
    shift
    echo "=== tald-test: $name"
    "$@" 2>&1
    echo "=== tald-test: end $name"
}
files() {
    ls -la /etc/lvm/cache/ 2>&1 | grep -v ' \.\.$'
    md5sum /etc/lvm/cache/* 2>&1
}
# daemon_view: what multipathd's own path checks make of the state as it is
# now (a few rounds of them), and the state directory before and after.
daemon_view() {
    files > /run/tald-files-before
    sleep 12
    multipathd show maps topology
    files > /run/tald-files-after
    echo "--- before"; cat /run/tald-files-before
    echo "--- after"; cat /run/tald-files-after
}
echo "tald-test: the real root, $(uname -r)"
part root-files files
rm -f /dev/log
busybox syslogd -n -O /run/tald-syslog &
sleep 0.5
part root-tald-l tald -l
multipathd
# the daemon's own path checks: every path ready and with its priority
n=0
while [ $n -lt 60 ]; do
    sleep 1
    n=$((n + 1))
    # (the status of the release's multipathd client says little: 0.8.5's is 1 when it answered)
    multipathd show paths format "%d %t %T %p" > /run/tald-paths 2>&1
    # (paths in maps: the orphan whose page 0x83 fails has no checker state)
    grep -q '^sd.* active ' /run/tald-paths || continue
    grep '^sd.* active ' /run/tald-paths | grep -qv ' ready ' || break
done
echo "tald-test: multipathd's path checks after ${n} s"
part multipathd-paths multipathd show paths format "%d %w %i %t %T %p"
part multipathd-topology multipathd show maps topology
logger -t tald-test "root-nostate"
mv /etc/lvm/cache /etc/lvm/cache.away
part root-nostate daemon_view
[ -e /etc/lvm/cache ] && echo "tald-test: /etc/lvm/cache came back"
mv /etc/lvm/cache.away /etc/lvm/cache
# read-only and without the lock file, as a host whose root is mounted
# read-only starts its multipathd: a daemon that kept the unchanged file
# from a call before would answer from it without needing to write.
rm -f /etc/lvm/cache/tald.lock
sync
logger -t tald-test "root-readonly"
multipathd shutdown
multipathd_gone() { [ -z "$(busybox pidof multipathd)" ]; }
wait_for 21 0.5 multipathd_gone || true
if wait_for 21 0.5 mount -o remount,ro / 2>/dev/null; then
    multipathd
    part root-readonly daemon_view
else
    echo "tald-test: remounting / read-only failed"
fi
logger -t tald-test "root-end"
multipathd shutdown
sleep 0.5
part root-syslog grep -iE 'tald|prio' /run/tald-syslog
echo "tald-test: done"
sync
echo o > /proc/sysrq-trigger
sleep 10
