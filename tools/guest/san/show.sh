# What multipath made of the root LUN inside the initramfs, just before the
# root is mounted (sourced by the test-only initramfs-tools script and dracut
# hook). Each part goes to the console between "=== tald-test: NAME" and
# "=== tald-test: end NAME" lines, for tools/guest/san_boot.sh to check:
#   initramfs        multipath -ll with the image's copy of the state, and
#                    the state directory before and after it
#   initramfs-table  the maps' tables as the first multipath run loaded them
#   initramfs-damaged / initramfs-unreadable
#                    multipath -ll with a damaged copy and with one that
#                    cannot be read (a directory in its place), each bound
#                    read-only over the state directory
#   initramfs-syslog what the plugin said to syslog meanwhile
tald_test_part() {
    part=$1
    shift
    echo "=== tald-test: $part"
    "$@" 2>&1
    echo "=== tald-test: end $part"
}
tald_test_files() {
    ls -la /etc/lvm/cache/ 2>&1 | grep -v ' \.\.$'
    md5sum /etc/lvm/cache/* 2>&1
}
# multipath -ll, and the state directory before and after it
tald_test_ll() {
    tald_test_files > /run/tald-test/files-before
    multipath -ll
    tald_test_files > /run/tald-test/files-after
    echo "--- before"; cat /run/tald-test/files-before
    echo "--- after"; cat /run/tald-test/files-after
}
# tald_test_ro DIR: DIR in place of the state directory, read-only as the
# image's copy is. Made read-only where nobody looks first: a running
# multipathd (dracut's) must never see it writable.
tald_test_ro() {
    mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" "$1" && mount --bind "$1" /etc/lvm/cache
}
tald_test_show() {
    exec 1>/dev/console 2>&1
    echo
    S=/run/tald-test
    mkdir -p $S/unreadable/tald.conf $S/damaged
    logger -t tald-test "initramfs"
    tald_test_part initramfs tald_test_ll
    tald_test_part initramfs-table dmsetup table
    # damaged: the same length of bytes that are no state line
    if [ -e /etc/lvm/cache/tald.conf ]; then
        cp -a /etc/lvm/cache/. $S/damaged/
        tr '0-9a-z/,:' '~' < /etc/lvm/cache/tald.conf > $S/damaged/tald.conf
        logger -t tald-test "initramfs-damaged"
        tald_test_ro $S/damaged && tald_test_part initramfs-damaged tald_test_ll
        umount /etc/lvm/cache
        logger -t tald-test "initramfs-unreadable"
        tald_test_ro $S/unreadable && tald_test_part initramfs-unreadable tald_test_ll
        umount /etc/lvm/cache
    fi
    logger -t tald-test "initramfs-end"
    sleep 0.5
    echo "=== tald-test: initramfs-syslog"
    if [ -f $S/syslog ]; then cat $S/syslog; else journalctl -b --no-pager -o short-monotonic 2>&1; fi |
        grep -iE 'tald|prio'
    echo "=== tald-test: end initramfs-syslog"
}
