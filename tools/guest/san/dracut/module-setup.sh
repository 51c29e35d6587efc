#!/bin/bash
# Test-only dracut module of tools/guest/san_boot.sh (never shipped): the
# simulated array (tald_tcmu, its scenario, the TCMU and tcm_loop modules)
# started before udev's trigger, and what multipath made of the root LUN
# shown before the root is mounted.
check() { return 0; }  # in every image of the test's root
depends() { echo multipath; }
installkernel() {
    hostonly='' instmods configfs target_core_user tcm_loop virtio_blk virtio_pci dm_multipath ext4
}
install() {
    local f
    for f in /etc/tald-test/*; do inst_simple "$f"; done
    inst_multiple awk md5sum logger journalctl tr grep ls sleep mount umount
    inst_hook pre-trigger 10 "$moddir/array-hook.sh"
    inst_hook pre-mount 99 "$moddir/show-hook.sh"
}
