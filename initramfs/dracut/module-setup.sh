#!/bin/bash
# dracut module of quelvane-path-manager: whenever the image carries dracut's
# multipath module, it also carries the prioritizer with every library it
# needs (dracut resolves the libraries of executables only, and the plugin is
# 0644: on Debian 13 libpthread.so.0 was missing and multipathd could not
# load it), a copy of the admin's overrides (/etc/lvm/cache/tald.conf), the
# early hook that makes that copy read-only, and, in a systemd image, the
# order that starts multipathd after that hook.

check() {
    return 0
}

depends() {
    return 0
}

install() {
    local plugin=/lib/multipath/libpriotald.so lib
    dracut_module_included multipath || return 0
    [ -f "$plugin" ] || return 0
    inst_simple "$plugin"
    # inst, not inst_library: dracut-ng (Debian 13's 106) has no inst_library.
    for lib in $(env --unset=LD_PRELOAD ldd "$plugin" 2>/dev/null |
        sed -n 's/.*=>[[:blank:]]*\(\/[^[:blank:]]*\).*/\1/p'); do
        inst "$lib"
    done
    # shellcheck source=/dev/null
    . /usr/share/quelvane-path-manager/initramfs-state.sh
    # The record is that of the image the host boots: one that dracut writes
    # elsewhere ($outfile, dracut's own, made absolute) leaves the record of
    # the image in /boot as it is (no version, no record).
    local record_version=$kernel
    if [ -n "${outfile:-}" ] && [ "$outfile" != "$(readlink -f "/boot/initrd.img-$kernel")" ]; then
        record_version=
    fi
    tald_initramfs_state "$initdir" "$record_version" dracut
    inst_hook cmdline 10 "$moddir/tald-readonly.sh"
    if dracut_module_included systemd; then
        inst_simple "$moddir/multipathd-tald.conf" \
            "$systemdsystemunitdir/multipathd.service.d/quelvane-path-manager.conf"
    fi
}
