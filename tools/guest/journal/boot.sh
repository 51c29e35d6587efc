# shellcheck shell=dash
# Sourced by the guest's /init (init.sh) at the end of its checks when
# run.sh gave the guest the journal disk (/dev/vda, journal/make_disk.sh):
# hands PID 1 to the release's systemd on it. The array's paths stay up
# (tald_tcmu keeps running), the maps of the checks before are flushed so
# that the root's multipathd makes its own, and the map of nodes to disks
# goes along for the checks (journal/check.sh, which the root's systemd
# runs as tald-guest-journal.service and which powers off).
timeout 30 multipath -F > /dev/null 2>&1
vda() { [ -b /dev/vda ]; }
wait_for 100 0.1 vda || { bad "journal: no disk /dev/vda"; finish; }
mkdir -p /journal
mount -t ext4 /dev/vda /journal || { bad "journal: mount /dev/vda"; finish; }
cp /tmp/map /journal/etc/tald-guest/map
echo "--- journal: PID 1 to $(cat /journal/etc/tald-guest/release)'s systemd"
exec chroot /journal /lib/systemd/systemd --unit=tald-guest.target --show-status=0 --log-level=warning
