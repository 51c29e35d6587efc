# The boot-from-SAN test's array inside the initramfs (sourced by the
# test-only initramfs-tools script and dracut hook; never shipped): one TCMU
# device per scenario node, served by tald_tcmu, each exported through its
# own tcm_loop host, as tools/guest/init.sh does. The root LUN's paths (the
# node numbers in /etc/tald-test/backed) serve the data of the QEMU disk
# /dev/vda: the root file system. tald_tcmu runs as "@tald_tcmu" so that
# systemd leaves it alive across the switch to the real root.
T=/etc/tald-test
. $T/common.sh
tald_test_array() {
    for m in configfs target_core_user tcm_loop virtio_blk dm_multipath; do
        modprobe $m || echo "tald-test: modprobe $m failed"
    done
    [ -d $CFG ] || mount -t configfs configfs /sys/kernel/config
    wait_for 300 0.1 test -b /dev/vda || true
    bytes=$(($(cat /sys/block/vda/size) * 512))
    nodes=$(awk '$1 == "node" { print $2 }' $T/guest.scn)
    i=0 disks=
    for p in $nodes; do
        size=1048576
        if grep -qx $i $T/backed; then size=$bytes; disks="$disks -b $i=/dev/vda"; fi
        tcmu_device $i $size || echo "tald-test: enabling TCMU device $i failed"
        i=$((i + 1))
    done
    (PATH=$T:$PATH; exec @tald_tcmu $disks $T/guest.scn > /dev/kmsg 2>&1) &
    sleep 0.2
    : > /run/tald-test-map
    i=0
    for p in $nodes; do
        hct=$(tcmu_export $i)
        sd=$(tcmu_disk $hct)
        echo "tald-test: node $i is /dev/$sd at $hct:0"
        echo "$i $sd $hct:0" >> /run/tald-test-map
        i=$((i + 1))
    done
    udevadm settle --timeout=30 || true
}
