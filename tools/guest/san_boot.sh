#!/usr/bin/env bash
# Boot from SAN in the real-kernel guest: a Debian release's own kernel and
# the initramfs its own builder made, with the package installed and an
# override stored, boots a root file system that lives on the array's
# multipath LUN. Checks what multipath made of the root LUN inside the
# initramfs and what multipathd shows on the real root, and the plugin where
# it cannot write (a damaged and an unreadable copy in the image, the state
# directory missing, the root read-only).
#
#   tools/guest/san_boot.sh SUITE BUILDER PACKAGE [BUILD_DIR]
#
# SUITE: bullseye, bookworm or trixie; BUILDER: initramfs-tools or dracut;
# PACKAGE: the .deb (tools/package_test.sh builds it); BUILD_DIR: where our
# programs are built for the expected answers (default build/normal). Needs
# root. The release's root is made once with tools/debroot.sh (NAME "san",
# "sandracut") and kept in /var/cache/tald-roots, seen read-only at
# BUILD_DIR/san/SUITE-BUILDER/base during the run; the test's root, image and
# disk are made in BUILD_DIR/san/SUITE-BUILDER and made again only when the
# package, the test's files or the cached root change.
# TALD_SAN_TIMEOUT bounds the boot (default 600 s). The console is kept in
# BUILD_DIR/san/SUITE-BUILDER/console.log. Last line "N passed, M failed".
# The whole script is one function, read before it runs: a change to the
# file during a run does not reach that run.
self=$(realpath "$0")
main() {
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
[ $# -ge 3 ] || { echo "usage: tools/guest/san_boot.sh SUITE BUILDER PACKAGE [BUILD_DIR]" >&2; exit 2; }
suite=$1 builder=$2 deb=$(realpath "$3")
build=$(realpath -m "${4:-$top/build/normal}")
timeout_s=${TALD_SAN_TIMEOUT:-600}
start=$(date +%s)
die() { echo "san: $*" >&2; echo "0 passed, 1 failed"; exit 1; }
[ -f "$deb" ] || die "no package $deb"
[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, mounts, chroot)"
if [ "${TALD_SAN_NAMESPACE:-}" != 1 ]; then
    # a private mount namespace: the overlay and the chroot's mounts end with it
    exec env TALD_SAN_NAMESPACE=1 unshare --mount --propagation private "$self" "$@"
fi
work=$build/san/$suite-$builder
mkdir -p "$work"
# seconds since the start, for the timings
t() { echo $(($(date +%s) - start)); }
trap 'echo "san: failed at line $LINENO" >&2; echo "0 passed, 1 failed"' ERR

[ -f "$build/build.ninja" ] || cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target mpath_prio_tald tald tald_tcmu simarray >/dev/null ||
    die "build failed"

# --- The release's root: its kernel, its builder, multipath-tools.
common=(linux-image-amd64 multipath-tools e2fsprogs busybox udev kmod)
case $builder in
initramfs-tools)
    lower=$("$top/tools/debroot.sh" "$suite" san "${common[@]}" initramfs-tools multipath-tools-boot zstd) ||
        die "making the $suite root failed"
    ;;
dracut)
    # dracut, installed with the kernel, is its "initramfs-tools | linux-initramfs-tool"
    lower=$("$top/tools/debroot.sh" "$suite" sandracut multipath-tools e2fsprogs busybox udev kmod systemd \
        dracut linux-image-amd64) ||
        die "making the $suite root failed"
    ;;
*) die "builder $builder: initramfs-tools or dracut" ;;
esac
# the layers as one tree, read-only (the namespace's mounts end with it)
base=$work/base
mkdir -p "$base"
mount -t overlay overlay -o "lowerdir=$lower" "$base"
kver=$(basename "$(ls -d "$base"/usr/lib/modules/*/ | sort -V | tail -n1)")
echo "san: $suite, $builder, kernel $kver, multipath-tools" \
    "$(chroot "$base" dpkg-query -W -f='${Version}' multipath-tools), $builder" \
    "$(chroot "$base" dpkg-query -W -f='${Version}' "$builder"), package $(basename "$deb")" >&2

# --- The scenario as the guest sees it: node N is the Nth disk (/dev/sda
# on, as the kernel names them) at N:0:1:0, the address of the Nth
# tcm_loop host. The root LUN is LUN A, the scenario's first four nodes.
scn=$work/san.scn
awk 'BEGIN { split("abcdefghijklmnopqrstuvwxyz", l, "") }
     $1 == "node" { print "node /dev/sd" l[++n]; next }
     $1 == "addr" { print "addr", n - 1, 0, 1, 0; next }
     { print }' "$here/guest.scn" > "$scn"
backed="0 1 2 3"
# Expected: every node's default priority (the callout in file order from an
# empty state) and wwid; then an override of 7 on the root LUN's path of the
# lowest default, stored as tald --prio --set stores it.
state=$work/state
rm -rf "$state" && mkdir -p "$state"
sim() {
    LD_PRELOAD=$build/tools/simarray/libsimarray.so SIMARRAY_SCENARIO=$scn \
        SIMARRAY_STATE_DIR=$state "$@"
}
awk '$1 == "node" { p = $2; w = "" }
     $1 == "designator" && w == "" { w = $2; for (i = 3; i <= NF; i++) w = w $i; print p, w }' "$scn" |
while read -r p w; do
    echo "$p $(sim "$build/src/callout/mpath_prio_tald" "$p") $w"
done > "$work/defaults"
root_wwid=$(awk 'NR == 1 { print $3 }' "$work/defaults")
override_path=$(awk -v w="$root_wwid" '$3 == w' "$work/defaults" | sort -k2n | awk 'NR == 1 { print $1 }')
override_prio=7
sim "$build/src/command/tald" --prio --set "$override_path" $override_prio > /dev/null
[ -s "$state/tald.conf" ] || die "the simulated array stored no tald.conf"
awk -v o="$override_path" -v op=$override_prio '{ print $1, ($1 == o ? op : $2), $3 }' "$work/defaults" > "$work/expected"
awk '{ print $1, $2, $3 }' "$work/defaults" > "$work/expected-default"
echo "san: the root LUN $root_wwid; override $override_prio stored for $override_path" >&2

# --- The test's root, image and disk, made again when an input changed.
stamp=$( (cat "${lower%%:*}.stamp" "$deb" "$scn" "$state/tald.conf" "$here/multipath.conf" \
    "$build/tools/guest/tald_tcmu" "$here/common.sh" "$here"/san/*.sh "$here"/san/*/* "$self"; echo "$kver") | sha256sum | cut -c1-16)
if [ "$(cat "$work/image.stamp" 2>/dev/null)" != "$stamp" ]; then
    m0=$(date +%s)
    rm -f "$work/image.stamp"
    rm -rf "$work/root" && mkdir -p "$work/root"/{upper,work,mnt}
    r=$work/root/mnt
    mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/root/upper,workdir=$work/root/work" "$r"
    mount -t proc proc "$r/proc"
    mount -t sysfs sys "$r/sys"
    mount --bind /dev "$r/dev"
    inroot() {
        chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
            DEBIAN_FRONTEND=noninteractive "$@"
    }
    # the admin's host: multipath.conf with prio tald, the override stored
    install -m 644 "$here/multipath.conf" "$r/etc/multipath.conf"
    mkdir -p "$r/etc/lvm/cache"
    install -m 640 "$state/tald.conf" "$r/etc/lvm/cache/tald.conf"
    # test-only: the simulated array in the image, the checks on the real root
    mkdir -p "$r/etc/tald-test" "$r/usr/local/sbin"
    install -m 755 "$build/tools/guest/tald_tcmu" "$r/etc/tald-test/@tald_tcmu"
    install -m 644 "$scn" "$r/etc/tald-test/guest.scn"
    install -m 644 "$here/common.sh" "$here/san/array.sh" "$here/san/show.sh" "$r/etc/tald-test/"
    printf '%s\n' $backed > "$r/etc/tald-test/backed"
    install -m 755 "$here/san/check.sh" "$r/usr/local/sbin/tald-san-check"
    if [ "$builder" = initramfs-tools ]; then
        install -m 755 "$here/san/initramfs-tools/hook" "$r/etc/initramfs-tools/hooks/tald-test"
        mkdir -p "$r/etc/initramfs-tools/scripts/init-top" "$r/etc/initramfs-tools/scripts/local-premount"
        install -m 755 "$here/san/initramfs-tools/init-top" "$r/etc/initramfs-tools/scripts/init-top/tald-test"
        install -m 755 "$here/san/initramfs-tools/local-premount" \
            "$r/etc/initramfs-tools/scripts/local-premount/tald-test"
    else
        mkdir -p "$r/usr/lib/dracut/modules.d/99tald-test"
        install -m 755 "$here"/san/dracut/* "$r/usr/lib/dracut/modules.d/99tald-test/"
    fi
    # the package, with its hooks and triggers, as an admin installs it
    cp "$deb" "$r/tmp/package.deb"
    touch -d '2000-01-01' "$r/boot/initrd.img-$kver"
    inroot dpkg -i /tmp/package.deb > "$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log" >&2; die "dpkg -i of the package failed in the $suite root"; }
    rm -f "$r/tmp/package.deb"
    # the package's trigger made the image again
    if [ "$(stat -c %Y "$r/boot/initrd.img-$kver")" -gt "$m0" ]; then
        echo yes > "$work/triggered"
    else
        echo no > "$work/triggered"
    fi
    m1=$(date +%s)
    # the image, by the release's own builder: as the package's trigger ran
    # it, or else by hand
    if [ "$(cat "$work/triggered")" = yes ]; then
        : > "$work/image.log"
    elif [ "$builder" = initramfs-tools ]; then
        rm -f "$r/boot/initrd.img-$kver"
        inroot update-initramfs -c -k "$kver" > "$work/image.log" 2>&1 ||
            { tail -n 30 "$work/image.log" >&2; die "update-initramfs failed"; }
    else
        rm -f "$r/boot/initrd.img-$kver"
        inroot dracut --force --no-hostonly --add "multipath tald-test" --kver "$kver" \
            "/boot/initrd.img-$kver" > "$work/image.log" 2>&1 ||
            { tail -n 30 "$work/image.log" >&2; die "dracut failed"; }
    fi
    m2=$(date +%s)
    cp "$r/boot/initrd.img-$kver" "$work/initrd.img"
    # the kernel: the uncompressed vmlinux (PVH entry), from its xz (11, 12)
    # or zstd (13) stream
    z=$r/boot/vmlinuz-$kver
    rm -f "$work/vmlinux"
    for magic in '\xfd7zXZ\x00:xz' '\x28\xb5\x2f\xfd:zstd'; do
        off=$(grep -m1 -aboP "${magic%%:*}" "$z" | head -n1 | cut -d: -f1) || true
        [ -n "$off" ] || continue
        tail -c +$((off + 1)) "$z" | "${magic#*:}" -dc 2>/dev/null > "$work/vmlinux" || true
        break
    done
    [ "$(head -c4 "$work/vmlinux" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
        die "could not extract vmlinux from $z"
    umount "$r/dev" "$r/sys" "$r/proc"
    # the root file system, for the LUN's data: ext4 with the root's files,
    # made by the release's own mke2fs (the kernel knows its features)
    mb=$(($(du -sm "$r" | cut -f1) * 5 / 4 + 200))
    rm -f "$work/disk.img"
    truncate -s "${mb}M" "$work/disk.img"
    # (the root bound to /mnt/src shows none of the mounts below it)
    mkdir -p "$r/mnt/out" "$r/mnt/src"
    mount --bind "$work" "$r/mnt/out"
    mount --bind "$r" "$r/mnt/src"
    chroot "$r" mkfs.ext4 -q -F -L taldroot -E root_owner=0:0 -d /mnt/src /mnt/out/disk.img \
        > "$work/mkfs.log" 2>&1 || { cat "$work/mkfs.log" >&2; die "mkfs.ext4 failed"; }
    umount "$r/mnt/src" "$r/mnt/out"
    umount "$r"
    echo "$stamp" > "$work/image.stamp"
    echo "san: made in $(($(date +%s) - m0)) s: package and its trigger's image $((m1 - m0)) s," \
        "image by hand $((m2 - m1)) s" \
        "($(($(stat -c %s "$work/initrd.img") / 1048576)) MiB), disk $(($(date +%s) - m2)) s (${mb} MiB)" >&2
fi

# --- Boot.
wwid=$root_wwid
append="console=ttyS0 panic=-1 loglevel=4 root=/dev/mapper/$wwid rw init=/usr/local/sbin/tald-san-check"
append="$append modprobe.blacklist=ata_piix,pata_acpi,ata_generic fsck.mode=skip"
[ "$builder" = dracut ] && append="$append rd.multipath=default systemd.show_status=0 rd.udev.log_level=3"
b0=$(date +%s)
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -M pc -m 1536 -smp 1 \
    -nodefaults -display none -serial stdio -no-reboot \
    -drive "file=$work/disk.img,format=raw,if=virtio,snapshot=on" \
    -kernel "$work/vmlinux" -initrd "$work/initrd.img" -append "$append" \
    < /dev/null > "$work/console.raw" 2>&1 || true
boot_s=$(($(date +%s) - b0))
# (without the carriage returns and multipath's bold)
tr -d '\r' < "$work/console.raw" | sed 's/\x1b\[[0-9;]*m//g' > "$work/console.log"
log=$work/console.log

# --- Checks.
passed=0 failed=0
check() {  # check TITLE COMMAND...
    local title=$1
    shift
    if "$@"; then echo "CHECK PASS $title"; passed=$((passed + 1))
    else echo "CHECK FAIL $title"; failed=$((failed + 1)); fi
}
# part NAME: the console's lines between the part's markers
# (a marker may end a line that the initramfs began: "Begin: ... === tald-test: NAME")
part() {
    awk -v s="=== tald-test: $1" -v e="=== tald-test: end $1" '
        substr($0, length($0) - length(e) + 1) == e { on = 0 } on { print }
        substr($0, length($0) - length(s) + 1) == s { on = 1 }' "$log"
}
show_part() { echo "--- $1"; part "$1" | sed 's/^/    /'; }
# groups NAME: "sdX PRIO WWID" for every path in the part's multipath -ll
# or show maps topology (the priority of the path's group, as the map shows it)
groups() {
    part "$1" | awk '/ dm-[0-9]+ / { w = $1
             for (i = 2; i <= NF; i++) if ($i ~ /^\([0-9a-f]+\)$/) w = substr($i, 2, length($i) - 2) }
         /prio=/ { s = $0; sub(/.*prio=/, "", s); sub(/ .*/, "", s); prio = s }
         / [0-9]+:[0-9]+:[0-9]+:[0-9]+ sd[a-z]+ / {
             for (i = 1; i <= NF; i++) if ($i ~ /^sd[a-z]+$/) print "/dev/" $i, prio, w }' | sort
}
# same_as EXPECTED NAME: the root LUN's and LUN B's paths as expected
# (LUNs C and D have no priority of ours to show)
same_as() {
    local want got
    want=$(awk 'NR <= 8' "$1" | sort)
    got=$(groups "$2" | grep -Ff <(awk 'NR <= 8 { print $3 }' "$1") || true)
    [ "$want" = "$got" ] && return 0
    echo "    expected:"; echo "$want" | sed 's/^/      /'; echo "    got:"; echo "$got" | sed 's/^/      /'
    return 1
}
# separate NAME: the root LUN's four paths in four groups of distinct
# priorities, none -1 or 0
separate() {
    groups "$1" | awk -v w="$root_wwid" '$3 == w && $2 > 0 { print $2 }' | sort -u | wc -l | grep -qx 4
}
# untouched NAME: the state directory's listing and checksums the same
# before and after
untouched() {
    local before after
    before=$(part "$1" | awk '/^--- before/ { on = 1; next } /^--- after/ { on = 0 } on')
    after=$(part "$1" | awk '/^--- after/ { on = 1; next } on')
    [ -n "$before" ] && [ "$before" = "$after" ]
}
# said PHASE PART: the plugin said that it cannot write its state, in the
# syslog lines of PART between the test's marker PHASE and the next marker
said() {
    part "$2" | awk -v m="tald-test(\\[[0-9]+\\])?: $1\$" '
        /tald-test(\[[0-9]+\])?: / { on = ($0 ~ m); next } on && /priotald: cannot write its state/' | grep -q .
}
# root_state_stored: the real root's /etc/lvm/cache holds tald.conf as stored, alone
root_state_stored() {
    local stored
    stored=$(md5sum < "$state/tald.conf" | cut -d' ' -f1)
    part root-files | grep -q "^$stored  /etc/lvm/cache/tald.conf$" &&
        [ "$(part root-files | grep -c '/etc/lvm/cache/')" -eq 1 ]
}
# daemon_prios: multipathd's own priorities (show paths) of LUN A's and B's paths
daemon_prios() {
    local want got
    want=$(awk 'NR <= 8 { print $1, $2 }' "$work/expected" | sort)
    got=$(part multipathd-paths | awk '$1 ~ /^sd/ { print "/dev/" $1, $6 }' | sort |
        grep -Ff <(awk 'NR <= 8 { print $1 " " }' "$work/expected") || true)
    [ "$want" = "$got" ]
}
# table_groups N: the root map's table (dmsetup table) has N path groups:
# "START LEN multipath NFEAT FEAT... NHW HW... NPG ..."
table_groups() {
    part initramfs-table | awk -v w="$root_wwid:" -v n="$1" '
        $1 == w && $4 == "multipath" { i = 5; i += $i + 1; i += $i + 1; found = ($i == n) }
        END { exit !found }'
}
addresses_ok() {
    local i=0 p sd
    for p in $(awk '{ print $1 }' "$work/defaults"); do
        grep -q "tald-test: node $i is $p at $i:0:1:0$" "$log" || return 1
        i=$((i + 1))
    done
}

echo "san: booted in $boot_s s" >&2
grep -E 'tald-test: (node|the real|multipathd)' "$log" | head -n 12
check "$suite/$builder: installing the package made the image again (its trigger)" \
    grep -qx yes "$work/triggered"
check "$suite/$builder: the array's nodes are the expected disks at the expected addresses" addresses_ok
for p in initramfs initramfs-table multipathd-topology multipathd-paths root-files; do show_part $p; done
check "$suite/$builder: inside the initramfs, the root LUN's paths in four groups" separate initramfs
check "$suite/$builder: inside the initramfs, the stored override and the default rotation" \
    same_as "$work/expected" initramfs
check "$suite/$builder: inside the initramfs, the root map as loaded holds four path groups" \
    table_groups 4
check "$suite/$builder: inside the initramfs, nothing written" untouched initramfs
check "$suite/$builder: inside the initramfs, the plugin's syslog line" said initramfs initramfs-syslog
check "$suite/$builder: the real root's state is what was stored (the initramfs wrote nothing there)" \
    root_state_stored
check "$suite/$builder: after the switch, multipathd's groups: four for the root LUN" separate multipathd-topology
check "$suite/$builder: after the switch, multipathd: the stored override and the default rotation" \
    same_as "$work/expected" multipathd-topology
check "$suite/$builder: after the switch, multipathd's path checks give the same priorities" \
    daemon_prios
# where the plugin cannot write: damaged or unreadable copy -> defaults;
# no state directory -> defaults; read-only root -> the override and defaults
for c in initramfs-damaged:expected-default initramfs-unreadable:expected-default \
    root-nostate:expected-default root-readonly:expected; do
    name=${c%%:*} want=${c#*:}
    show_part "$name"
    check "$suite/$builder: $name: the root LUN's paths in four groups" separate "$name"
    check "$suite/$builder: $name: $([ "$want" = expected ] && echo "the stored override and ")the default rotation" \
        same_as "$work/$want" "$name"
    check "$suite/$builder: $name: nothing written" untouched "$name"
    case $name in
    initramfs*) syslog=initramfs-syslog ;;
    *) syslog=root-syslog ;;
    esac
    check "$suite/$builder: $name: the plugin's syslog line" said "$name" "$syslog"
done
show_part initramfs-syslog
show_part root-syslog
if ! grep -q '^tald-test: done' "$log"; then
    echo "CHECK FAIL the guest did not finish within ${timeout_s}s; its console:"
    tail -n 60 "$log"
    failed=$((failed + 1))
fi
echo "san: $suite/$builder: $(t) s in all, the boot $boot_s s; console in $log" >&2
trap - ERR
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
}
main "$@"
