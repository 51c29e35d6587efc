#!/usr/bin/env bash
# Makes, once, a minimal Debian root of one release with debootstrap
# (--variant=minbase) plus the given packages, and keeps it under the cache
# as CACHE/SUITE-NAME for later runs. The root is made again when the
# release or the package list changes. Prints the root's path on standard
# output. Needs root and the Debian archive of this machine's APT sources
# (tools/apt_mirror.sh) the first time only.
#
#   tools/debroot.sh SUITE NAME [PACKAGE...]
#
# TALD_ROOT_CACHE: the cache (default /var/cache/tald-roots);
# TALD_MIRROR: the archive's base URI (default: the one in APT's sources).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: tools/debroot.sh SUITE NAME [PACKAGE...]" >&2; exit 2; }
suite=$1 name=$2
shift 2
cache=${TALD_ROOT_CACHE:-/var/cache/tald-roots}
root=$cache/$suite-$name
want="$suite $*"

if [ "$(cat "$root.stamp" 2>/dev/null)" != "$want" ]; then
    # shellcheck source=tools/apt_mirror.sh
    . "$(dirname "$0")/apt_mirror.sh"
    mirror=$(apt_mirror)
    mkdir -p "$cache"
    rm -rf "$root" "$root.tmp" "$root.stamp"
    include=()
    [ $# -eq 0 ] || include=("--include=$(IFS=,; echo "$*")")
    echo "debroot: making the $suite root $root (log: $root.log)" >&2
    . "$(dirname "$0")/progress.sh"
    # Merged /usr, as every release from 11 on installs it. Its phases on
    # standard error, a few minutes in all.
    if ! debootstrap --variant=minbase --merged-usr "${include[@]}" "$suite" "$root.tmp" "$mirror" \
        2>&1 | progress "debroot: $suite" "$root.log" >&2; then
        tail -n 30 "$root.log" >&2
        rm -rf "$root.tmp"
        exit 1
    fi
    # The downloaded packages are not needed again: the root is kept whole.
    rm -f "$root.tmp"/var/cache/apt/archives/*.deb
    mv "$root.tmp" "$root"
    echo "$want" >"$root.stamp"
fi
echo "$root"
