#!/usr/bin/env bash
# The real-kernel test: boots Debian's kernel in a QEMU guest (TCG) whose
# array paths are TCMU devices served by tald_tcmu from guest.scn, and checks
# mpath_prio_tald, tald, and multipath/multipathd with libpriotald.so there.
# The expected priorities and aliases come from the same programs run under
# the simulated array on this machine.
#
#   tools/guest/run.sh [BUILD_DIR]     (default build/normal)
#
# Downloads go to TALD_GUEST_CACHE (default /var/cache/tald-guest; root is
# needed to fill it). TALD_GUEST_PLUGIN=FILE puts FILE in the guest as
# libpriotald.so instead of the tree's build; TALD_GUEST_APPEND adds words to
# the kernel command line ("tald.verbose" logs every TCMU command);
# TALD_GUEST_TIMEOUT bounds the boot (600 s, 900 s with the journal stage;
# about 40 s is usual, but a guest on a busy machine is slow, not wrong). The guest's console is kept in
# BUILD_DIR/guest-console.log. Last line: "N passed, M failed"; exit status
# non-zero when a check failed or the guest did not finish.
#
# TALD_GUEST_RELEASE=SUITE with TALD_GUEST_DEB=PACKAGE: the checks run that
# Debian release's own multipath and multipathd (from a root that
# tools/debroot.sh makes and caches), loading the package's plugin, and the
# package's tald and mpath_prio_tald, all on that release's C library in a
# chroot inside the guest; the kernel stays the one above. The console is
# then kept in BUILD_DIR/guest-console-SUITE.log. With TALD_GUEST_JOURNAL=1
# as well, the same boot goes on to the journal stage (journal/): the
# release's own systemd as PID 1 with its udev, journal and multipathd, and
# the package installed by dpkg; a path that stops answering and comes back
# gives one entry each of the look, in seconds ("journal: SUITE: ..."
# lines). The root's layers are
# seen, read-only, at BUILD_DIR/guest-root-SUITE while the initramfs is
# packed, in a mount namespace of the run's own.
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build/normal}
cache=${TALD_GUEST_CACHE:-/var/cache/tald-guest}
boot_timeout=${TALD_GUEST_TIMEOUT:-}
start=$(date +%s)
trap 'echo "guest: failed at line $LINENO" >&2; echo "0 passed, 1 failed"' ERR

die() { echo "guest: $*" >&2; echo "0 passed, 1 failed"; exit 1; }

# --- Our programs (the plugin only where the tree has it).
[ -f "$build/build.ninja" ] || cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target mpath_prio_tald tald tald_tcmu simarray >/dev/null ||
    die "build failed"
release=${TALD_GUEST_RELEASE:-}
deb=${TALD_GUEST_DEB:-}
journal=
[ -z "$release" ] || [ "${TALD_GUEST_JOURNAL:-}" != 1 ] || journal=1
# the journal stage adds minutes under TCG (tools/guest/README.md has its figures)
[ -n "$boot_timeout" ] || boot_timeout=$([ -n "$journal" ] && echo 900 || echo 600)
if [ -n "$release" ] && [ "${TALD_GUEST_NAMESPACE:-}" != 1 ]; then
    trap - ERR
    exec env TALD_GUEST_NAMESPACE=1 unshare --mount --propagation private "$here/run.sh" "$@"
fi
log=${TALD_GUEST_LOG:-$build/guest-console${release:+-$release}.log}
if [ -n "$release" ]; then
    [ -f "$deb" ] || die "TALD_GUEST_RELEASE needs TALD_GUEST_DEB=the package file"
    # shellcheck source=tools/lib/roots.sh
    . "$top/tools/lib/roots.sh"
    lower=$(root_admin "$release") ||
        die "making the $release root failed"
    relroot=$build/guest-root-$release
    mkdir -p "$relroot"
    mount -t overlay overlay -o "lowerdir=$lower" "$relroot"
    echo "guest: $release: multipath-tools $(chroot "$relroot" dpkg-query -W -f='${Version}' multipath-tools)," \
        "libc6 $(chroot "$relroot" dpkg-query -W -f='${Version}' libc6), package $(basename "$deb")" >&2
fi
plugin=
# multipath's prioritizer: the tree's own, or TALD_GUEST_PLUGIN=FILE instead
if [ -n "$release" ]; then
    :
elif [ -n "${TALD_GUEST_PLUGIN:-}" ]; then
    plugin=$TALD_GUEST_PLUGIN
elif cmake --build "$build" -j2 --target priotald >/dev/null 2>&1; then
    plugin=$build/src/plugin/libpriotald.so
fi
callout=$build/src/callout/mpath_prio_tald
command=$build/src/command/tald

# --- Debian's kernel, busybox and multipath-tools, unpacked in the cache.
root=$("$here/fetch.sh" "$cache" | tail -n1) || die "fetching the guest's packages failed"
kver=$(basename "$(ls -d "$root"/lib/modules/*/ | head -n1)")
vmlinux=$cache/vmlinux-$kver
if [ ! -s "$vmlinux" ]; then
    # the xz stream inside the bzImage; its first hit is the kernel
    z=$root/boot/vmlinuz-$kver
    off=$(grep -aboP '\xfd7zXZ\x00' "$z" | head -n1 | cut -d: -f1)
    [ -n "$off" ] || die "no xz payload in $z"
    tail -c +$((off + 1)) "$z" | xz -dc 2>/dev/null > "$vmlinux.tmp" || true
    [ "$(head -c4 "$vmlinux.tmp" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
        die "could not extract vmlinux from $z"
    mv "$vmlinux.tmp" "$vmlinux"
fi
[ -e "$root/lib/modules/$kver/modules.dep" ] || depmod -b "$root" "$kver"

# --- The initramfs.
work=$(mktemp -d /tmp/tald-guest.XXXXXX)
trap 'rm -rf "$work"' EXIT
ir=$work/initramfs
mkdir -p "$ir"/{bin,sbin,usr/sbin,lib/x86_64-linux-gnu,lib64,lib/multipath,etc/guest,proc,sys,dev,run,tmp}
cp "$root/bin/busybox" "$ir/bin/busybox"
install -m 755 "$here/init.sh" "$ir/init"
cp "$here/common.sh" "$ir/etc/guest/common.sh"
cp "$here/drain.sh" "$ir/etc/guest/drain.sh"
if [ -n "$journal" ]; then
    mkdir -p "$ir/etc/guest/journal"
    cp "$here/journal/boot.sh" "$ir/etc/guest/journal/"
    j0=$(date +%s)
    "$here/journal/make_disk.sh" "$release" "$deb" "$work/journal.img" ||
        die "making the $release journal disk failed"
    echo "guest: the journal disk made in $(($(date +%s) - j0)) s" >&2
fi
cp "$here/guest.scn" "$ir/etc/guest/guest.scn"
cp "$here/multipath.conf" "$ir/etc/multipath.conf"
[ -f "$top/examples/multipath.conf.plugin" ] && cp "$top/examples/multipath.conf.plugin" "$ir/etc/guest/"

# Kernel modules with their dependencies, in load order.
: > "$ir/etc/guest/modules"
for m in sd_mod target_core_user tcm_loop dm_multipath dm_service_time configfs \
    ${journal:+virtio_pci virtio_blk ext4}; do
    modprobe -d "$root" -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
    mkdir -p "$ir$(dirname "${ko#"$root"}")"
    cp "$ko" "$ir${ko#"$root"}"
    echo "${ko#"$root"}" >> "$ir/etc/guest/modules"
done

# Programs and the shared libraries they need, from the unpacked packages.
# add_libs DEST ROOT FILE...: into DEST, every library the files need, found
# in ROOT's library directories (symlinks followed inside ROOT).
add_libs() {
    local dest=$1 from=$2 f lib d
    shift 2
    for f in "$@"; do
        for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            [ -e "$dest/$lib" ] && continue
            for d in /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib /usr/lib ""; do
                [ -n "$d" ] || die "library $lib (for $f) not in $from"
                [ -e "$from$d/$lib" ] && break
            done
            cp "$(root_path "$from" "$d/$lib")" "$dest/$lib"
            add_libs "$dest" "$from" "$dest/$lib"
        done
    done
}
# root_path ROOT PATH: ROOT's file at PATH, its last symlinks followed inside
# ROOT (an absolute link names a file of ROOT, not of this machine).
root_path() {
    local from=$1 p=$2 n target
    for n in 1 2 3 4 5 6 7 8; do
        [ -L "$from$p" ] || break
        target=$(readlink "$from$p")
        case $target in /*) p=$target ;; *) p=$(dirname "$p")/$target ;; esac
    done
    echo "$from$p"
}
cp "$build/tools/guest/tald_tcmu" "$ir/usr/sbin/"
if [ -z "$release" ]; then
    cp -L "$root/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" "$ir/lib64/"
    cp -L "$root/lib/x86_64-linux-gnu/libgcc_s.so.1" "$ir/lib/x86_64-linux-gnu/"  # thread cancellation
    cp "$callout" "$command" "$ir/usr/sbin/"
    cp "$root/sbin/multipath" "$root/sbin/multipathd" "$ir/sbin/"
    cp "$root/lib/multipath/libprioconst.so" "$root/lib/multipath/libchecktur.so" "$ir/lib/multipath/"
    if [ -n "$plugin" ]; then
        cp "$plugin" "$ir/lib/multipath/libpriotald.so" || die "no plugin $plugin"
    fi
    add_libs "$ir/lib/x86_64-linux-gnu" "$root" "$ir"/usr/sbin/{mpath_prio_tald,tald} "$ir"/sbin/* \
        "$ir"/lib/multipath/*.so "$ir/lib/x86_64-linux-gnu/libgcc_s.so.1"
else
    # The release's root in /rel, laid out as the release installs it (merged
    # /usr): its multipath, multipathd, two of its prioritizer and checker
    # plugins, its C library and the rest of what they load; the package's
    # files where the package puts them. init.sh binds /dev, /sys, /proc,
    # /run, /tmp, /etc/lvm/cache and multipath's configuration in, and the
    # guest's multipath, multipathd, tald and mpath_prio_tald are wrappers
    # that run the release's in the chroot.
    rel=$ir/rel
    mkdir -p "$rel"/usr/{sbin,bin,lib/x86_64-linux-gnu,lib/multipath,lib64} \
        "$rel"/{dev,proc,sys,run,tmp,etc/multipath,etc/lvm/cache}
    for d in bin sbin lib lib64; do ln -s "usr/$d" "$rel/$d"; done
    : > "$rel/etc/multipath.conf"
    libdir=$rel/usr/lib/x86_64-linux-gnu
    cp "$(root_path "$relroot" /lib64/ld-linux-x86-64.so.2)" "$rel/usr/lib64/ld-linux-x86-64.so.2"
    cp "$(root_path "$relroot" /usr/lib/x86_64-linux-gnu/libgcc_s.so.1)" "$libdir/"
    cp "$relroot/usr/sbin/multipath" "$relroot/usr/sbin/multipathd" "$rel/usr/sbin/"
    cp "$relroot/usr/lib/multipath/libprioconst.so" "$relroot/usr/lib/multipath/libchecktur.so" \
        "$rel/usr/lib/multipath/"
    dpkg-deb -x "$deb" "$work/package"
    cp "$work/package/sbin/tald" "$work/package/sbin/mpath_prio_tald" "$rel/sbin/"
    cp "$work/package/lib/multipath/libpriotald.so" "$rel/lib/multipath/"
    add_libs "$libdir" "$relroot" "$rel"/usr/sbin/* "$rel"/usr/lib/multipath/*.so "$libdir/libgcc_s.so.1"
    for p in sbin/multipath sbin/multipathd usr/sbin/tald usr/sbin/mpath_prio_tald; do
        printf '#!/bin/sh\nexec chroot /rel /%s "$@"\n' "$p" > "$ir/$p"
        chmod 755 "$ir/$p"
    done
fi

# Expected answers: each node's priority (probed in file order from an empty
# state, as in the guest), the wwid multipath shows for it ("-" when page
# 0x83 fails), and `tald --alias --get` (empty when it fails).
sim() {
    LD_PRELOAD=$build/tools/simarray/libsimarray.so SIMARRAY_SCENARIO=$here/guest.scn \
        SIMARRAY_STATE_DIR=$work/state "$@"
}
mkdir -p "$work/state"
awk -v OFS="\t" '
     function out() { if (p) print p, w, n }
     $1 == "node" { out(); p = $2; w = ""; n = "-" }
     $1 == "designator" && w == "" { w = $2; for (i = 3; i <= NF; i++) w = w $i }
     $1 == "fault" && $2 == "readbuffer" { n = "READ BUFFER ends in CHECK CONDITION" }
     $1 == "fault" && $2 == "inquiry" { w = "-"; n = "page 0x83 ends in CHECK CONDITION" }
     END { out() }' "$here/guest.scn" |
while IFS=$'\t' read -r p w n; do
    prio=$(sim "$callout" "$p")
    alias=$(sim "$command" --alias --get "$p" 2>/dev/null) || alias=
    printf '%s\t%s\t%s\t%s\t%s\n' "$p" "$prio" "${w:--}" "$n" "$alias"
done > "$ir/etc/guest/expected"

(cd "$ir" && find . | cpio -o -H newc --quiet) > "$work/initramfs.cpio"

# --- Boot.
echo "guest: kernel $kver, initramfs $(($(stat -c %s "$work/initramfs.cpio") / 1048576)) MiB, booting" >&2
timeout "$boot_timeout" qemu-system-x86_64 -accel tcg -M pc -m 1024 -smp 1 \
    -nodefaults -display none -serial stdio -no-reboot \
    ${journal:+-drive "file=$work/journal.img,format=raw,if=virtio,snapshot=on"} \
    -kernel "$vmlinux" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet print-fatal-signals=1 ${TALD_GUEST_APPEND:-}" < /dev/null > "$work/console.log" 2>&1 || true
tr -d '\r' < "$work/console.log" > "$work/console.txt"
cp "$work/console.txt" "$log" 2>/dev/null || true

grep -E '^CHECK (PASS|FAIL) |^journal: [a-z]+: ' "$work/console.txt" || true
passed=$(grep -c '^CHECK PASS ' "$work/console.txt" || true)
failed=$(grep -c '^CHECK FAIL ' "$work/console.txt" || true)
if ! grep -q '^GUEST DONE' "$work/console.txt"; then
    echo "CHECK FAIL the guest did not finish within ${boot_timeout}s; its console:"
    tail -n 40 "$work/console.txt"
    failed=$((failed + 1))
fi
echo "guest: $(($(date +%s) - start)) s in all" >&2
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] || exit 1
