#!/usr/bin/env bash
# Fetches, once, the Debian packages the guest is made of (kernel, busybox,
# multipath-tools and the libraries it loads) with `apt-get download`, and
# unpacks them with dpkg-deb -x into CACHE/root. Nothing is installed on this
# machine. Prints the cache directory's root on standard output.
#
#   tools/guest/fetch.sh [CACHE]      (default /var/cache/tald-guest)
set -euo pipefail
cache=${1:-/var/cache/tald-guest}
mkdir -p "$cache/debs"
chown _apt "$cache/debs" 2>/dev/null || true  # apt-get download drops to _apt where it can

# The kernel metapackage names the versioned image it stands for.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
if [ -z "$kpkg" ]; then
    apt-get update -qq
    kpkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
fi
[ -n "$kpkg" ] || { echo "fetch: no kernel image package found" >&2; exit 1; }

# multipath-tools and the closure of libraries it and its plugins need;
# glibc and libgcc_s too, so the guest does not depend on this machine's.
pkgs=("$kpkg" busybox-static multipath-tools
      libdevmapper1.02.1 liburcu8 libaio1 libudev1 libsystemd0 libjson-c5
      libreadline8 libtinfo6 libselinux1 libpcre2-8-0 libcap2 libgcrypt20
      libgpg-error0 liblz4-1 liblzma5 libzstd1 libc6 libgcc-s1 libstdc++6 libsysfs2)

stamp="$cache/root/.complete-$kpkg"
if [ ! -e "$stamp" ]; then
    missing=()
    for p in "${pkgs[@]}"; do
        compgen -G "$cache/debs/${p}_*.deb" >/dev/null || missing+=("$p")
    done
    if ((${#missing[@]})); then
        # apt's line per package shows how far the download is.
        echo "fetch: downloading ${missing[*]}" >&2
        if ! (cd "$cache/debs" && apt-get download -q "${missing[@]}" >&2); then
            apt-get update -qq
            (cd "$cache/debs" && apt-get download -q "${missing[@]}" >&2)
        fi
    fi
    rm -rf "$cache/root"
    mkdir -p "$cache/root"
    for p in "${pkgs[@]}"; do
        # the newest downloaded version of each package
        deb=$(ls -1 "$cache/debs/${p}_"*.deb | sort -V | tail -n1)
        dpkg-deb -x "$deb" "$cache/root"
    done
    touch "$stamp"
fi
echo "$cache/root"
