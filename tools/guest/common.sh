# shellcheck shell=dash
# The guest's set-up, shared by its /init (init.sh, from /etc/guest) and the
# boot-from-SAN test's initramfs scripts (san/array.sh, from /etc/tald-test):
# the array's TCMU devices, each exported through its own tcm_loop host, and
# the bounded waits. Plain sh, for busybox and dracut's shell alike.
CFG=/sys/kernel/config/target

# wait_for TRIES SECONDS COMMAND...: COMMAND again every SECONDS until it
# succeeds, at most TRIES times; fails when it never did. A guest on a busy
# machine is slow, not wrong: the bounds are generous.
wait_for() {
    local tries=$1 pause=$2
    shift 2
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep "$pause"
    done
}

# tcmu_device I SIZE: the TCMU device user_I/pathI of SIZE bytes, served by
# tald_tcmu as the scenario's node I; fails when it cannot be enabled.
tcmu_device() {
    local d=$CFG/core/user_$1/path$1
    mkdir -p "$d"
    printf %s "dev_config=quelvane/$1,dev_size=$2" > "$d/control"
    echo 1 > "$d/enable"
}

# tcmu_export I: device I behind a tcm_loop host of its own; prints the
# host's SCSI address "H:C:T" (the LUN is 0).
tcmu_export() {
    local wwn t
    wwn=naa.5001405$(printf %09x "$1")
    t=$CFG/loopback/$wwn/tpgt_1
    mkdir -p "$t/lun/lun_0"
    echo "$wwn" > "$t/nexus"
    ln -s "$CFG/core/user_$1/path$1" "$t/lun/lun_0/path"
    cat "$t/address"
}

# tcmu_disk H:C:T: the name of the disk the kernel made at H:C:T:0, within
# 30 s; empty when none appeared.
tcmu_disk() {
    local sd=
    # shellcheck disable=SC2317  # run by wait_for
    disk_named() { sd=$(ls "/sys/class/scsi_device/$1:0/device/block" 2>/dev/null) && [ -n "$sd" ]; }
    wait_for 300 0.1 disk_named "$1" || true
    echo "$sd"
}
