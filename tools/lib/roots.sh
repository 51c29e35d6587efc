# shellcheck shell=bash
# Sourced by the stages that work in Debian roots: each root is named here
# once, with its packages, so that tools/roots.sh can make every root ahead
# of the stages and the stages then find theirs made (tools/debroot.sh
# makes a root once and prints its lower directories, "LAYER:BASE").
#
#   . tools/lib/roots.sh
#   root_build                  the Debian 11 root the package is built in
#   root_admin SUITE            an admin's host: multipath-tools
#   root_initrd SUITE BUILDER   multipath and the initramfs builder, no kernel
#   root_san SUITE BUILDER      the same with the release's kernel
#   roots_needed                "KIND ARG..." per root, in the stages' order
roots_tools=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
roots_build_suite=bullseye

# The names of debian/control's Build-Depends (debhelper for debhelper-compat).
roots_build_depends() {
    sed -n '/^Build-Depends:/,/^[A-Z]/p' "$roots_tools/../debian/control" | sed '1s/^Build-Depends://; /^[A-Z]/d' |
        tr ',' '\n' | sed 's/[(<[].*//; s/[[:space:]]//g; s/^debhelper-compat$/debhelper/' | grep -v '^$'
}

root_build() {
    local deps
    deps=$(roots_build_depends) || return
    # shellcheck disable=SC2086
    "$roots_tools/debroot.sh" "$roots_build_suite" build build-essential $deps
}

root_admin() {
    "$roots_tools/debroot.sh" "$1" admin multipath-tools
}

root_initrd() {
    case $2 in
    initramfs-tools) "$roots_tools/debroot.sh" "$1" initrd multipath-tools multipath-tools-boot initramfs-tools busybox ;;
    dracut) "$roots_tools/debroot.sh" "$1" dracut multipath-tools busybox udev systemd dracut ;;
    *) echo "roots: builder $2: initramfs-tools or dracut" >&2; return 2 ;;
    esac
}

root_san() {
    local common=(linux-image-amd64 multipath-tools e2fsprogs busybox udev kmod)
    case $2 in
    initramfs-tools)
        "$roots_tools/debroot.sh" "$1" san "${common[@]}" initramfs-tools multipath-tools-boot zstd ;;
    # dracut, installed with the kernel, is its "initramfs-tools | linux-initramfs-tool"
    dracut)
        "$roots_tools/debroot.sh" "$1" sandracut multipath-tools e2fsprogs busybox udev kmod systemd \
            dracut linux-image-amd64 ;;
    *) echo "roots: builder $2: initramfs-tools or dracut" >&2; return 2 ;;
    esac
}

# In the order tools/test.sh's stages first ask for them: the package stage
# (build, admin, the image pairs), the guests, the boots from SAN. A root
# left out here is still made by its stage, only not ahead of it.
roots_needed() {
    local s p
    echo build
    for s in bullseye bookworm trixie; do echo "admin $s"; done
    for p in bullseye:initramfs-tools bookworm:initramfs-tools trixie:initramfs-tools trixie:dracut; do
        echo "initrd ${p%%:*} ${p#*:}"
    done
    echo "admin sid"
    for p in bullseye:initramfs-tools bookworm:initramfs-tools trixie:initramfs-tools trixie:dracut; do
        echo "san ${p%%:*} ${p#*:}"
    done
}
