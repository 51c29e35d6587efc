#!/usr/bin/env bash
# Makes, once, the Debian root of one release with some packages, in two
# layers kept under the cache: the release's base (debootstrap
# --variant=minbase, made once per release and shared by every NAME), and
# NAME's layer: the files that `apt-get install --no-install-recommends
# PACKAGE...` changed on an overlay of the base. Every .deb that debootstrap
# and apt fetch for the release is kept in one directory of the cache, so a
# package is fetched once for all of a release's layers. The layer is made
# again when its package list or the base changes; the base when it is
# missing. Prints the overlay's lower directories, "LAYER:BASE", for
#   mount -t overlay overlay -o lowerdir=LAYER:BASE[,upperdir=...,workdir=...] DIR
# (read-only without an upper directory). Needs root and the Debian archive
# of this machine's APT sources (tools/apt_mirror.sh) the first time only.
#
#   tools/debroot.sh SUITE NAME [PACKAGE...]
#
# The cache: CACHE/SUITE/base (+ .stamp, .log), CACHE/SUITE/NAME (+ .stamp,
# .log), CACHE/SUITE/archives (the .debs). Two runs wait for each other.
# TALD_ROOT_CACHE: the cache (default /var/cache/tald-roots);
# TALD_MIRROR: the archive's base URI (default: the one in APT's sources).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: tools/debroot.sh SUITE NAME [PACKAGE...]" >&2; exit 2; }
suite=$1 name=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
cache=${TALD_ROOT_CACHE:-/var/cache/tald-roots}
case $suite/$name in
*/base | */archives | */lock | *[!a-z0-9._/-]*) echo "debroot: no root may be named $suite/$name" >&2; exit 2 ;;
esac
case $cache in *[:,]*) echo "debroot: the cache's path $cache has a ':' or ','" >&2; exit 2 ;; esac
dir=$cache/$suite
base=$dir/base layer=$dir/$name archives=$dir/archives

# Made in a mount namespace of its own: no mount outlives the run.
if [ "${TALD_DEBROOT_NAMESPACE:-}" != 1 ]; then
    mkdir -p "$dir"
    exec env TALD_DEBROOT_NAMESPACE=1 unshare --mount --propagation private "$here/debroot.sh" "$suite" "$name" "$@"
fi
mkdir -p "$archives/partial"
exec 9>"$dir/lock"
flock 9
# shellcheck source=tools/progress.sh
. "$here/progress.sh"

base_want="$suite minbase"
if [ "$(cat "$base.stamp" 2>/dev/null)" != "$base_want" ]; then
    # shellcheck source=tools/apt_mirror.sh
    . "$here/apt_mirror.sh"
    mirror=$(apt_mirror)
    rm -rf "$base" "$base.tmp" "$base.stamp"
    echo "debroot: making the $suite base $base (log: $base.log)" >&2
    # Merged /usr, as every release from 11 on installs it. Its phases on
    # standard error, a few minutes in all.
    if ! debootstrap --variant=minbase --merged-usr --cache-dir="$archives" "$suite" "$base.tmp" "$mirror" \
        2>&1 | progress "debroot: $suite" "$base.log" >&2; then
        tail -n 30 "$base.log" >&2
        rm -rf "$base.tmp"
        exit 1
    fi
    rm -f "$base.tmp"/var/cache/apt/archives/*.deb
    mv "$base.tmp" "$base"
    echo "$base_want" >"$base.stamp"
fi

# The layer's stamp names the base it was made on (its stamp's time).
want="$suite $name: $* (base $(date -r "$base.stamp" +%s.%N))"
if [ "$(cat "$layer.stamp" 2>/dev/null)" != "$want" ]; then
    rm -rf "$layer" "$layer.tmp" "$layer.stamp"
    echo "debroot: making the $suite root $name on its base (log: $layer.log)" >&2
    tmp=$layer.tmp mnt=$layer.tmp/mnt
    mkdir -p "$tmp"/{upper,work,mnt}
    mount -t overlay overlay -o "lowerdir=$base,upperdir=$tmp/upper,workdir=$tmp/work" "$mnt"
    mount -t proc proc "$mnt/proc"
    mount --bind /dev "$mnt/dev"
    mount --bind "$archives" "$mnt/var/cache/apt/archives"
    # No service of the root starts on this machine.
    printf '#!/bin/sh\nexit 101\n' >"$mnt/usr/sbin/policy-rc.d"
    chmod 755 "$mnt/usr/sbin/policy-rc.d"
    # (without APT::Status-Fd=1: Debian 11's apt then leaves the maintainer
    # scripts a standard output that fails with EIO)
    install=(apt-get install -y -q --no-install-recommends "$@")
    [ $# -gt 0 ] || install=(true)
    # The base's package lists may be older than the archive: read again
    # when an install from them fails.
    if ! chroot "$mnt" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        sh -c '"$@" || { apt-get update -q && "$@"; }' sh "${install[@]}" 2>&1 |
        progress "debroot: $suite $name" "$layer.log" >&2; then
        tail -n 30 "$layer.log" >&2
        exit 1
    fi
    rm -f "$mnt/usr/sbin/policy-rc.d" "$mnt"/var/cache/apt/*.bin
    umount "$mnt/var/cache/apt/archives" "$mnt/dev" "$mnt/proc" "$mnt"
    mv "$tmp/upper" "$layer"
    rm -rf "$tmp"
    echo "$want" >"$layer.stamp"
fi
echo "$layer:$base"
