#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests, the package
# and the demo need and this machine lacks. Safe to run again: it installs
# nothing twice. The package manager's output goes to build/setup.log; what
# it installs and how far it is are printed as a few lines, and the whole
# log only when the installation fails.
# Needs root, or sudo when it has something to install.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

# promtool (package prometheus), node_exporter and curl: the metrics stage;
# ansible-playbook (ansible-core, which carries the ansible.builtin modules
# the example play uses): the fleet stage.
packages=(g++ cmake ninja-build pkg-config libsysfs-dev libgtest-dev nlohmann-json3-dev sg3-utils
          dpkg-dev debhelper lintian groff-base mandoc bash-completion debootstrap
          qemu-system-x86 cpio kmod xz-utils zstd piuparts
          strace clang libclang-rt-14-dev libbenchmark-dev time
          prometheus prometheus-node-exporter curl ansible-core)
# cockpit-ws, cockpit-bridge, chromium and its chromedriver: the Cockpit
# page's stage (tools/cockpit_test.sh), a headless browser on 127.0.0.1.
packages+=(cockpit-ws cockpit-bridge chromium chromium-driver)
# systemd-journald and journalctl (package systemd, absent from a container's
# minimal root) and sos report (sosreport): the journal's stage
# (tools/journal_test.sh), a journald of its own in a mount namespace.
packages+=(systemd sosreport)
# Debian's libmpathcmd.so.0, for the tests that run tald with the real client
# library against a fake daemon: unpacked from multipath-tools' package into a
# directory of its own (installed, multipath-tools would put it on the library
# path of every run, and the tests without the library would find it).
mpathcmd_dir=/var/cache/tald-mpathcmd
if [ ! -e "$mpathcmd_dir/lib/libmpathcmd.so.0" ]; then
    unpack=$(mktemp -d)
    chmod 755 "$unpack"  # apt-get download drops to _apt where it can
    if ! (cd "$unpack" && { apt-get download -q multipath-tools >/dev/null 2>&1 ||
                             { apt-get update -qq && apt-get download -q multipath-tools; }; }); then
        echo "setup: could not download multipath-tools for its libmpathcmd.so.0" >&2
        rm -rf "$unpack"
        exit 1
    fi
    dpkg-deb -x "$unpack"/multipath-tools_*.deb "$unpack/root"
    lib=$(find "$unpack/root" -name libmpathcmd.so.0 | head -n 1)
    mkdir -p "$mpathcmd_dir/lib"
    cp -L "$lib" "$mpathcmd_dir/lib/libmpathcmd.so.0"
    rm -rf "$unpack"
    echo "setup: libmpathcmd.so.0 of multipath-tools in $mpathcmd_dir/lib"
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "setup: missing ${missing[*]}; run as root (or install sudo) to install them" >&2
        exit 1
    fi
    sudo_cmd=(sudo)
fi
mkdir -p "$top/build"
log=$top/build/setup.log
. "$top/tools/progress.sh"
echo "setup: installing ${missing[*]} (log: build/setup.log)"
# apt's plan and its progress by tenths (a first setup fetches about 600
# packages and runs for minutes).
if ! { "${sudo_cmd[@]}" apt-get update &&
       "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -o APT::Status-Fd=1 \
           "${missing[@]}"; } 2>&1 | progress setup "$log"; then
    cat "$log" >&2
    echo "setup: installing ${missing[*]} failed (log above, kept in build/setup.log)" >&2
    exit 1
fi
