#!/usr/bin/env bash
# The journal stage's disk: a Debian release's root with its systemd,
# systemd-udevd, systemd-journald and multipath-tools (tools/debroot.sh's
# layer "journal"), the package installed by dpkg as an admin installs it,
# the guest's multipath.conf, and the stage's target, unit and checks. Made
# as an ext4 image for the guest's /dev/vda; the guest's /init hands PID 1
# to the root's systemd on it once the array's paths are up.
#
#   tools/guest/journal/make_disk.sh SUITE PACKAGE IMAGE
#
# Needs root; run in a mount namespace of its own (run.sh is): the root's
# overlay is mounted beside IMAGE while it is made. Prints the release's
# systemd version on standard error.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: tools/guest/journal/make_disk.sh SUITE PACKAGE IMAGE" >&2; exit 2; }
suite=$1 deb=$2 image=$3
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
lower=$("$top/tools/debroot.sh" "$suite" journal multipath-tools systemd udev)
tmp=$image.d
rm -rf "$tmp" && mkdir -p "$tmp"/{upper,work,mnt}
r=$tmp/mnt
mount -t overlay overlay -o "lowerdir=$lower,upperdir=$tmp/upper,workdir=$tmp/work" "$r"
trap 'umount -R "$r" 2>/dev/null || true; rm -rf "$tmp"' EXIT
mount -t proc proc "$r/proc"
mount --bind /dev "$r/dev"
# No service of the root starts on this machine.
printf '#!/bin/sh\nexit 101\n' > "$r/usr/sbin/policy-rc.d"
chmod 755 "$r/usr/sbin/policy-rc.d"
cp "$deb" "$r/tmp/package.deb"
chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    dpkg -i /tmp/package.deb > "$tmp/dpkg.log" 2>&1 ||
    { cat "$tmp/dpkg.log" >&2; echo "journal: dpkg -i of the package failed in the $suite root" >&2; exit 1; }
rm -f "$r/tmp/package.deb" "$r/usr/sbin/policy-rc.d"
for f in lib/udev/rules.d/69-tald-look.rules lib/systemd/system/tald-look.service \
    lib/systemd/system/tald-look.timer; do
    [ -e "$r/$f" ] || { echo "journal: the package has no /$f" >&2; exit 1; }
done
install -m 644 "$here/../multipath.conf" "$r/etc/multipath.conf"
mkdir -p "$r/etc/tald-guest"
install -m 644 "$here/../common.sh" "$r/etc/tald-guest/common.sh"
echo "$suite" > "$r/etc/tald-guest/release"
install -m 755 "$here/check.sh" "$r/usr/local/sbin/tald-guest-journal"
install -m 644 "$here/tald-guest.target" "$here/tald-guest-journal.service" "$r/etc/systemd/system/"
echo "journal: $suite: systemd $(chroot "$r" dpkg-query -W -f='${Version}' systemd)," \
    "multipath-tools $(chroot "$r" dpkg-query -W -f='${Version}' multipath-tools)" >&2
umount "$r/dev" "$r/proc"
mb=$(($(du -sm "$r" | cut -f1) + 100))
rm -f "$image" && truncate -s "${mb}M" "$image"
mkfs.ext4 -q -F -L taldjournal -E root_owner=0:0 -d "$r" "$image" > "$tmp/mkfs.log" 2>&1 ||
    { cat "$tmp/mkfs.log" >&2; exit 1; }
