#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks' functions run through check
# Builds the Debian package as a Debian builder does (dpkg-buildpackage with
# Debian's build flags and the whole test suite) inside a Debian 11 build
# root, so that it links against the oldest C library it is for, and checks
# it with lintian. Then, as an admin of each release would, it runs
# `apt-get install ./PACKAGE` in a minimal root of Debian 11, 12 and 13, runs
# the installed programs there, on that release's C library, under the
# simulated array, and goes through the cases of the state directory
# /etc/lvm/cache on install, remove and purge. The roots are made once by
# tools/debroot.sh and cached; every run works on an overlay of them in a
# mount namespace of its own, so the cached roots stay as they are and no
# mount outlives the run. Nothing is installed on this machine, and its own
# /etc/lvm is never touched. Everything lives in build/package, but the old
# releases' packages for the upgrades, built once and kept beside the roots
# (tools/lib/old_debs.sh); the package is left there for tools/guest. The
# last line is "N passed, M failed".
#   tools/package_test.sh          (root; APT's Debian archive on the first run)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit
# shellcheck source=tools/lib/check.sh
. tools/lib/check.sh
# shellcheck source=tools/lib/roots.sh
. tools/lib/roots.sh
# shellcheck source=tools/lib/old_debs.sh
. tools/lib/old_debs.sh
if [ "${TALD_PACKAGE_NAMESPACE:-}" != 1 ]; then
    # What the stage needs, said at once rather than after a failed build.
    needs() { not_run package "$@"; }
    [ "$(id -u)" -eq 0 ] || needs "needs root (debootstrap, mounts, chroot): run it as root"
    # unshare makes / private in the new namespace, so that no overlay mount
    # reaches the machine's; a chroot whose / is no mount point refuses that.
    why=$(unshare --mount --propagation private true 2>&1) ||
        needs "no private mount namespace here ($why): the stage mounts overlays of its" \
            "Debian roots and needs / to be a mount point, as on a machine, a VM or a container;" \
            "for a plain chroot, make its directory one before entering it (mount --bind DIR DIR)"
    exec env TALD_PACKAGE_NAMESPACE=1 unshare --mount --propagation private "$top/tools/package_test.sh" "$@"
fi
# Progress and debroot's lines, outside what a check captures.
exec 3>&2
. tools/progress.sh
work=$top/build/package
scenario=$top/tools/simarray/scenarios/array8.scn
pkg=quelvane-path-manager
build_suite=$roots_build_suite
admin_suites=(bullseye bookworm trixie)
state=/etc/lvm/cache
lock_error="Error:  Unable to obtain lock."

# overlay LOWER DIR: DIR/mnt shows the cached root LOWER (the lower
# directories tools/debroot.sh prints); writes go to DIR. /proc and /dev are
# the machine's.
overlay() {
    local lower=$1 dir=$2
    rm -rf "$dir" && mkdir -p "$dir"/{upper,work,mnt} || return
    mount -t overlay overlay -o "lowerdir=$lower,upperdir=$dir/upper,workdir=$dir/work" "$dir/mnt" &&
        mount -t proc proc "$dir/mnt/proc" && mount --bind /dev "$dir/mnt/dev"
}

# inroot ROOT COMMAND...: the command inside ROOT with a clean environment.
inroot() {
    local root=$1
    shift
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

# sim ROOT COMMAND...: inside ROOT under the simulated array, with the root's
# own /etc/lvm/cache as the state directory (or SIMSTATE's).
sim() {
    local root=$1
    shift
    inroot "$root" LD_PRELOAD=/tmp/libsimarray.so SIMARRAY_SCENARIO=/tmp/array8.scn \
        SIMARRAY_STATE_DIR="${SIMSTATE:-$state}" "$@"
}

build_package() {
    local root mnt
    root=$(root_build 2>&3) || return
    overlay "$root" "$work/build-root" || return
    mnt=$work/build-root/mnt
    mkdir -p "$mnt/build/src" || return
    tar --exclude=./build --exclude='./build-*' --exclude=./.git --exclude=./obj-deb -cf - . |
        tar -xf - -C "$mnt/build/src" || return
    echo "package: building in the $build_suite root, tests on (log: build/package/build.log)" >&3
    inroot "$mnt" sh -c 'cd /build/src && DEB_BUILD_OPTIONS="parallel=2" dpkg-buildpackage -us -uc -b' 2>&1 |
        progress "package: build" "$work/build.log" >&3 || { tail -30 "$work/build.log"; return 1; }
    cp "$mnt"/build/*.deb "$mnt"/build/*.changes "$mnt"/build/*.buildinfo "$work/" &&
        cp "$mnt/build/src/obj-deb/tools/simarray/libsimarray.so" "$work/libsimarray.so"
}

tests_ran() {
    local summary
    summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$work/build.log")
    [ -n "$summary" ] || { echo "no test summary in build.log"; return 1; }
    echo "$summary"
    grep -q ' 0 tests failed' <<<"$summary"
}

# The package's own build keeps Debian's flags (no -Werror: a newer
# compiler's new warning must not stop a rebuild of the package); a warning
# in it fails this check instead, the compiler's or CMake's.
build_warning_free() {
    local found
    found=$(grep -E 'warning:|^CMake Warning' "$work/build.log")
    [ -z "$found" ] || { printf '%s\n' "$found" | head -n 20; return 1; }
}

deb_file() {
    echo "$work/${pkg}_$(dpkg-parsechangelog -l debian/changelog -S Version)_$(dpkg --print-architecture).deb"
}

lintian_clean() {
    local out tmp=$work/lintian-tmp
    # lintian leaves temporary files behind: in a directory of ours, not /tmp.
    rm -rf "$tmp" && mkdir -p "$tmp" || return
    out=$(TMPDIR=$tmp lintian --pedantic -I "$work"/*.changes 2>&1 | grep -v '^N: running with root')
    rm -rf "$tmp"
    printf '%s\n' "$out" | grep -q '^E:' && { printf '%s\n' "$out"; return 1; }
    # Shown with the check's name below, not a failure.
    printf '%s\n' "$out" | sed -n 's/^\([WIP]\): /      lintian \1: /p' >"$work/lintian.txt"
}

# Depends computed from the binaries: the C library alone, at most Debian
# 11's (2.31).
fields() {
    local deb=$1 depends version
    depends=$(dpkg-deb -f "$deb" Depends)
    version=$(sed -n 's/^libc6 (>= \([0-9.]*\))$/\1/p' <<<"$depends")
    [ -n "$version" ] && dpkg --compare-versions "$version" le 2.31 || { echo "Depends: $depends"; return 1; }
    [ "$(dpkg-deb -f "$deb" Recommends)" = multipath-tools ] || { echo "Recommends: $(dpkg-deb -f "$deb" Recommends)"; return 1; }
}

contents() {
    local deb=$1 list f status=0
    list=$(dpkg-deb -c "$deb") || return
    for f in ./sbin/tald ./sbin/mpath_prio_tald ./lib/multipath/libpriotald.so \
        ./usr/share/man/man8/tald.8.gz ./usr/share/man/man8/mpath_prio_tald.8.gz \
        ./usr/share/man/man8/libpriotald.8.gz \
        ./usr/share/doc/$pkg/examples/multipath.conf.plugin \
        ./usr/share/doc/$pkg/examples/multipath.conf.callout \
        ./usr/share/doc/$pkg/examples/tald.rules.yml \
        ./usr/share/doc/$pkg/examples/fleet.yml ./usr/share/doc/$pkg/examples/fleet-preferences.json \
        ./lib/systemd/system/tald-metrics.service ./lib/systemd/system/tald-metrics.timer \
        ./usr/share/doc/$pkg/copyright \
        ./usr/share/initramfs-tools/hooks/$pkg ./usr/share/initramfs-tools/scripts/init-top/$pkg \
        ./usr/share/$pkg/initramfs-state.sh ./etc/initramfs/post-update.d/$pkg \
        ./usr/lib/dracut/modules.d/95tald/module-setup.sh \
        ./usr/lib/dracut/modules.d/95tald/tald-readonly.sh \
        ./usr/lib/dracut/modules.d/95tald/multipathd-tald.conf \
        ./usr/lib/systemd/catalog/$pkg.catalog ./lib/udev/rules.d/69-tald-look.rules \
        ./lib/systemd/system/tald-look.service ./lib/systemd/system/tald-look.timer \
        ./etc/sos/extras.d/$pkg; do
        printf '%s\n' "$list" | grep -q " $f\$" || { echo "missing $f"; status=1; }
    done
    # dh_compress compresses a README of more than 4 KiB.
    printf '%s\n' "$list" | grep -Eq " \./usr/share/doc/$pkg/README\.md(\.gz)?\$" || { echo "missing README.md"; status=1; }
    # The maintainer scripts make the state directory; dpkg must not own it.
    ! printf '%s\n' "$list" | grep ' \./etc/lvm' || status=1
    dpkg-deb -I "$deb" postinst postrm >/dev/null || { echo "no postinst or postrm"; status=1; }
    # dh_installsystemd: the metrics timer enabled on install, as Debian's
    # own textfile collectors are (it runs only where node_exporter's
    # directory is).
    dpkg-deb -I "$deb" postinst | grep -q "deb-systemd-helper enable 'tald-metrics.timer'" ||
        { echo "the postinst does not enable tald-metrics.timer"; status=1; }
    # The support bundle's part is the admin's to edit: a conffile.
    dpkg-deb -I "$deb" conffiles | grep -qx "/etc/sos/extras.d/$pkg" ||
        { echo "/etc/sos/extras.d/$pkg is no conffile"; status=1; }
    # The look runs only when the udev rule starts it: neither enabled nor
    # started; on an upgrade restarted only when active, on remove stopped.
    ! dpkg-deb -I "$deb" postinst | grep "tald-look" | grep -v "deb-systemd-invoke try-restart 'tald-look.service' 'tald-look.timer' " ||
        { echo "the postinst enables or starts tald-look"; status=1; }
    dpkg-deb -I "$deb" prerm | grep -q "deb-systemd-invoke stop 'tald-look.service' 'tald-look.timer' " ||
        { echo "the prerm does not stop tald-look"; status=1; }
    # dh_installinitramfs: an image update on install, upgrade and removal.
    dpkg-deb -I "$deb" triggers | grep -qx 'activate-noawait update-initramfs' ||
        { echo "no update-initramfs trigger"; status=1; }
    return $status
}

# The look's rule, timer and unit as built: the rule arms the timer afresh
# with the release's systemctl on each path event of a multipath map, the
# timer starts the look 5 s after the last, neither is enabled on its own.
look_units() {
    local dir=$1 rule timer status=0
    rule=$(grep -v '^#' "$dir/lib/udev/rules.d/69-tald-look.rules")
    [ "$rule" = 'ACTION=="change", SUBSYSTEM=="block", KERNEL=="dm-[0-9]*", ENV{DM_UUID}=="mpath-?*", ENV{DM_ACTION}=="PATH_FAILED|PATH_REINSTATED", RUN+="/bin/systemctl --no-block restart tald-look.timer"' ] ||
        { printf 'the rule:\n%s\n' "$rule"; status=1; }
    timer=$(grep -E '^(OnActiveSec|Unit|StartLimitIntervalSec)=' "$dir/lib/systemd/system/tald-look.timer")
    [ "$timer" = $'StartLimitIntervalSec=0\nOnActiveSec=5s\nUnit=tald-look.service' ] || { printf 'the timer:\n%s\n' "$timer"; status=1; }
    ! grep -l '^\[Install\]' "$dir"/lib/systemd/system/tald-look.* || status=1
    grep -qx 'ExecStart=/sbin/tald --look' "$dir/lib/systemd/system/tald-look.service" ||
        { echo "tald-look.service: no ExecStart=/sbin/tald --look"; status=1; }
    return $status
}

man_pages_render() {
    local dir=$1 page out status=0
    for page in "$dir"/usr/share/man/man8/{tald,mpath_prio_tald,libpriotald}.8.gz; do
        out=$(zcat "$page" | groff -man -ww -z 2>&1) && [ -z "$out" ] || { echo "$page: $out"; status=1; }
        zcat "$page" | groff -man -T utf8 2>/dev/null | grep -q 'higher' || { echo "$page: no word on which priority wins"; status=1; }
    done
    return $status
}

plugin_exports() {
    local so=$1 syms
    syms=$(nm -D --defined-only "$so" | awk '{ print $NF }') || return
    [ "$syms" = getprio ] || { printf 'exports:\n%s\n' "$syms"; return 1; }
    ! ldd "$so" | grep -E 'libstdc\+\+|libgcc_s' || return 1
    # Loaded as multipath loads it: dlopen with RTLD_NOW, then getprio.
    printf '%s\n' '#include <dlfcn.h>' '#include <stdio.h>' \
        'int main(int, char **argv) {' \
        '    void *h = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);' \
        '    if (!h || !dlsym(h, "getprio")) { puts(dlerror()); return 1; }' \
        '    return dlclose(h);' '}' >"$work/load.cpp" &&
        c++ -o "$work/load" "$work/load.cpp" -ldl && "$work/load" "$so"
}

# Every host the package is for: no shipped binary imports a C library symbol
# version newer than GLIBC_2.17, or anything of the C++ runtime (objdump -T,
# and the binaries' NEEDED), and the Depends ask for no more; the shipped
# plugin answers as it should under each generation of multipath's loader
# (tests/plugin_generations_test.sh), run in the build root, on Debian 11's
# C library.
every_host() {
    local dir=$1 deb=$2 f v newer depends loaders status=0 mnt=$work/build-root/mnt
    for f in sbin/tald sbin/mpath_prio_tald lib/multipath/libpriotald.so; do
        newer=$(objdump -T "$dir/$f" | grep -oE '(GLIBC|GLIBCXX|CXXABI)_[A-Z0-9.]+' | sort -u |
            while read -r v; do
                [ "${v%%_*}" = GLIBC ] && [ "$(printf '2.17\n%s\n' "${v#GLIBC_}" | sort -V | tail -n 1)" = 2.17 ] ||
                    echo "$v"
            done)
        [ -z "$newer" ] || { echo "$f imports" $newer; status=1; }
        ! objdump -p "$dir/$f" | grep -E 'NEEDED.*(libstdc\+\+|libgcc_s)' || status=1
    done
    depends=$(dpkg-deb -f "$deb" Depends)
    v=$(sed -n 's/^libc6 (>= \([0-9.]*\))$/\1/p' <<<"$depends")
    [ -n "$v" ] && dpkg --compare-versions "$v" le 2.17 || { echo "Depends: $depends"; status=1; }
    install -m 0644 "$dir/lib/multipath/libpriotald.so" "$mnt/tmp/libpriotald.so" || return
    loaders=$(cd "$mnt" && printf '/%s\n' build/src/obj-deb/tests/plugin_loader_*)
    # shellcheck disable=SC2086
    inroot "$mnt" bash /build/src/tests/plugin_generations_test.sh /tmp/libpriotald.so \
        /build/src/obj-deb/tools/simarray/libsimarray.so /build/src/tools/simarray/scenarios/array8.scn \
        $loaders || status=1
    return $status
}

# --- In a release's root (R: its overlay's mount point).

# apt_install: what README tells the admin, with the package in /tmp.
apt_install() {
    inroot "$R" apt-get install -y "/tmp/$(basename "$deb")" >"$R.apt.log" 2>&1 ||
        { tail -20 "$R.apt.log"; return 1; }
    inroot "$R" dpkg-query -W -f='${db:Status-Abbrev}\n' "$pkg" | grep -qx 'ii ' || { echo "not installed"; return 1; }
}

apt_remove() {
    inroot "$R" apt-get "$1" -y "$pkg" >"$R.apt.log" 2>&1 || { tail -20 "$R.apt.log"; return 1; }
}

# mode PATH: "MODE OWNER" of PATH in the root (followed when a symlink).
mode() { stat -L -c '%a %U' "$R$1" 2>&1; }

# The prioritizer directory built into the release's libmultipath.
multipath_dir() {
    local lib
    lib=$(find "$R/usr/lib" -name 'libmultipath.so*' -type f | head -n 1)
    [ -n "$lib" ] && strings -a "$lib" | grep -m 1 -x '[/a-z]*lib/multipath'
}

plugin_where_multipath_looks() {
    local dir=$1
    [ -n "$dir" ] || { echo "no prioritizer directory in the release's libmultipath"; return 1; }
    [ -f "$R$dir/libpriotald.so" ] || { echo "no $dir/libpriotald.so"; return 1; }
}

override_in_force() {
    sim "$R" tald --prio --set /dev/sdb 8 >/dev/null || { echo "tald --prio --set: status $?"; return 1; }
    expect 0 8 sim "$R" mpath_prio_tald /dev/sdb
}

no_state_dir_no_run() {
    SIMSTATE=/etc/lvm/absent expect 255 "$lock_error" sim "$R" tald -V || return
    SIMSTATE=/etc/lvm/absent expect 255 "$lock_error" sim "$R" mpath_prio_tald --help || return
    [ ! -e "$R/etc/lvm/absent" ] || { echo "a program created /etc/lvm/absent"; return 1; }
}

# A host without /etc/lvm: made 0700 root on install; remove keeps the
# preferences, purge (the package then in "rc") removes them, the directory
# and /etc/lvm.
fresh_remove_keeps_purge_cleans() {
    apt_remove remove || return
    [ -s "$R$state/tald.conf" ] || { echo "remove deleted tald.conf"; return 1; }
    inroot "$R" dpkg-query -W -f='${db:Status-Abbrev}\n' "$pkg" | grep -qx 'rc ' ||
        { echo "after remove: $(inroot "$R" dpkg-query -W -f='${db:Status-Abbrev}' "$pkg")"; return 1; }
    : >"$R$state/tald.conf.tmp"
    printf "drained C0\n" >"$R$state/tald.drained"
    apt_remove purge || return
    [ ! -e "$R/etc/lvm" ] || { find "$R/etc/lvm"; return 1; }
}

# An existing directory that others can write, beside LVM's own files:
# tightened with a message on install; purge removes only our files.
writable_dir() {
    local before=$1 after=$2
    rm -rf "${R:?}/etc/lvm" && mkdir -p "$R$state" && chmod "$before" "$R$state" || return
    echo lvm >"$R/etc/lvm/.cache" && echo lvm >"$R/etc/lvm/lvm.conf" && echo mine >"$R$state/notes" || return
    apt_install || return
    grep -qF "quelvane-path-manager: $state (mode $before) was writable by group or others; now mode $after." "$R.apt.log" ||
        { echo "no message in:"; cat "$R.apt.log"; return 1; }
    [ "$(mode $state)" = "$after root" ] || { echo "$state: $(mode $state)"; return 1; }
    expect 0 4 sim "$R" mpath_prio_tald /dev/sdz || return
    apt_remove purge || return
    [ "$(mode $state)" = "$after root" ] && [ ! -e "$R$state/tald.conf" ] && [ ! -e "$R$state/tald.lock" ] &&
        [ "$(cat "$R$state/notes" "$R/etc/lvm/.cache" "$R/etc/lvm/lvm.conf")" = $'mine\nlvm\nlvm' ] ||
        { ls -laR "$R/etc/lvm"; return 1; }
}

# A directory that was there, empty and root's, stays after purge.
empty_dir_kept() {
    rm -rf "${R:?}/etc/lvm" && mkdir -p "$R/etc/lvm" && mkdir -m 0700 "$R$state" || return
    apt_install && expect 0 4 sim "$R" mpath_prio_tald /dev/sdz && apt_remove purge || return
    [ "$(mode $state)" = "700 root" ] && [ -z "$(ls -A "$R$state")" ] || { ls -la "$R$state"; return 1; }
}

# A symlink to the admin's own directory: followed, kept on install, remove
# and purge; the overrides stored through it are read again after a
# reinstall; purge removes our files at its target.
symlink_kept() {
    rm -rf "${R:?}/etc/lvm" "$R/srv/tald" && mkdir -m 0700 "$R/srv/tald" && mkdir "$R/etc/lvm" &&
        ln -s /srv/tald "$R$state" || return
    apt_install && override_in_force || return
    [ -L "$R$state" ] && [ -s "$R/srv/tald/tald.conf" ] || { ls -la "$R/etc/lvm" "$R/srv/tald"; return 1; }
    apt_remove remove && [ -L "$R$state" ] && [ -s "$R/srv/tald/tald.conf" ] || { echo "remove"; ls -la "$R/etc/lvm"; return 1; }
    apt_install && expect 0 8 sim "$R" mpath_prio_tald /dev/sdb || return
    apt_remove purge || return
    [ "$(readlink "$R$state")" = /srv/tald ] && [ -d "$R/srv/tald" ] && [ -z "$(ls -A "$R/srv/tald")" ] ||
        { ls -la "$R/etc/lvm" "$R/srv/tald"; return 1; }
}

# What the look kept in /run/tald goes with the package on remove (and so on
# purge); a /run/tald that is a symlink is not followed.
look_state_removed() {
    rm -rf "${R:?}/etc/lvm" && apt_install || return
    mkdir -p -m 0700 "$R/run/tald" && echo "$(printf '3%.0s' {1..33}) P" >"$R/run/tald/look" || return
    apt_remove purge || return
    [ ! -e "$R/run/tald" ] || { ls -la "$R/run/tald"; return 1; }
    mkdir -p "$R/srv/elsewhere" && echo mine >"$R/srv/elsewhere/look" && ln -s /srv/elsewhere "$R/run/tald" || return
    apt_install && apt_remove purge || return
    [ "$(cat "$R/srv/elsewhere/look")" = mine ] || { echo "the link's target was emptied"; return 1; }
    rm -rf "$R/run/tald" "$R/srv/elsewhere"
}

# With the release's systemd: the package's catalog reaches journalctl
# through systemd's trigger on /usr/lib/systemd/catalog (on install, and
# out again on purge), and the udev rule's systemctl is that release's.
catalog_through_trigger() {
    local id=f59cf751e03b4f7998c3d6bba04dc167 rule
    inroot "$R" apt-get install -y --no-install-recommends systemd >"$R.apt.log" 2>&1 ||
        { tail -20 "$R.apt.log"; return 1; }
    apt_install || return
    grep -q "Processing triggers for systemd" "$R.apt.log" || { echo "systemd's trigger did not fire"; return 1; }
    inroot "$R" journalctl --list-catalog "$id" 2>&1 | grep -q "left its preferred path group" ||
        { echo "journalctl --list-catalog $id: nothing"; return 1; }
    rule=$(sed -n 's/.*RUN+="\([^ ]*\) .*/\1/p' "$R/lib/udev/rules.d/69-tald-look.rules")
    [ -x "$R$rule" ] && inroot "$R" "$rule" --version >/dev/null || { echo "the rule's $rule does not run"; return 1; }
    apt_remove purge || return
    ! inroot "$R" journalctl --list-catalog "$id" 2>/dev/null | grep -q "left its preferred" ||
        { echo "the catalog still lists $id after purge"; return 1; }
}

# With systemd running, as the maintainer scripts see it (/run/systemd/system),
# and a systemctl that logs each call and keeps which units are active (no
# systemd runs in the root): install reloads the units and starts neither of
# the look's; with the timer armed by the rule's command and a look running,
# an upgrade (a reinstall) leaves both active; remove stops both and reloads.
look_stopped_on_remove() {
    local status=0
    [ ! -e "$R/usr/sbin/systemctl" ] || { echo "the root has a /usr/sbin/systemctl"; return 1; }
    inroot "$R" dpkg --purge "$pkg" >/dev/null 2>&1
    mkdir -p "$R/run/systemd/system" "$R/run/stand-in/active" && : >"$R/run/stand-in/calls" || return
    cat >"$R/usr/sbin/systemctl" <<'EOF'
#!/bin/sh
echo "$*" >>/run/stand-in/calls
verb= units= st=0
for a; do
    case $a in
    --version) echo "systemd 999 (stand-in)"; exit 0 ;;
    -*) ;;
    *) if [ -z "$verb" ]; then verb=$a; else units="$units $a"; fi ;;
    esac
done
for u in $units; do
    case $verb in
    start | restart) : >"/run/stand-in/active/$u" ;;
    stop) rm -f "/run/stand-in/active/$u" ;;
    is-active) [ -e "/run/stand-in/active/$u" ] || st=3 ;;
    esac
done
exit $st
EOF
    chmod 0755 "$R/usr/sbin/systemctl" && look_through_upgrade_and_remove || status=1
    inroot "$R" dpkg --purge "$pkg" >/dev/null 2>&1
    rm -rf "$R/usr/sbin/systemctl" "$R/run/systemd/system" "$R/run/stand-in"
    return $status
}

# The look's units active by the stand-in's record.
look_active() { (cd "$R/run/stand-in/active" && echo tald-look*); }

look_through_upgrade_and_remove() {
    local calls=$R/run/stand-in/calls args
    apt_install || return
    grep -qx -- '--system daemon-reload' "$calls" || { echo "install: no daemon-reload"; cat "$calls"; return 1; }
    ! grep tald-look "$calls" || { echo "install: the look's units touched"; return 1; }
    args=$(sed -n 's/.*RUN+="[^ ]* \(.*\)"$/\1/p' "$R/lib/udev/rules.d/69-tald-look.rules")
    # shellcheck disable=SC2086
    inroot "$R" systemctl $args && inroot "$R" systemctl start tald-look.service || return
    inroot "$R" apt-get install -y --reinstall "/tmp/$(basename "$deb")" >"$R.apt.log" 2>&1 || { tail -20 "$R.apt.log"; return 1; }
    [ "$(look_active)" = "tald-look.service tald-look.timer" ] ||
        { echo "after the upgrade, active: $(look_active)"; cat "$calls"; return 1; }
    : >"$calls" && apt_remove remove || return
    [ "$(look_active)" = "tald-look*" ] && grep -q 'stop tald-look.service tald-look.timer' "$calls" &&
        grep -qx -- '--system daemon-reload' "$calls" || { echo "after remove, active: $(look_active)"; cat "$calls"; return 1; }
}

# --- Upgrades from 0.3.2-1, which shipped /etc/lvm and /etc/lvm/cache as
# directories in the package itself.

# old_commit TREE: the commit TREE names in this clone (TREE itself when
# none: build_old then says so).
old_commit() { git rev-parse --verify -q "$1^{commit}" || echo "$1"; }

old_version=0.3.2-1
old_tree=74c08173285c33f3b5e50dcff90641cd31582fdf^
old_deb=$(old_deb_path "$old_version" "$(old_commit "$old_tree")")
placeholder=.quelvane-path-manager-upgrade

# The release before the fleet commands, as its hosts have it: built from
# the tree of the metrics' merge, whose changelog still says 0.3.2-3 (the
# releases after 0.3.2-3 shipped under that version until 0.3.2-7).
prev_version=0.3.2-3
prev_tree=3608d3f
prev_deb=$(old_deb_path "$prev_version" "$(old_commit "$prev_tree")")
# The release before this one (before the look's timer).
last_version=0.3.2-9
last_tree=0116235
last_deb=$(old_deb_path "$last_version" "$(old_commit "$last_tree")")

# build_old VERSION TREE DEB: the package of VERSION built from TREE (git
# archive) in the same Debian 11 root (its tests off), once for every
# checkout: DEB (old_deb_path) is kept with the roots. One kept there is
# used when it is whole; else it is built again. Another run building the
# same one meanwhile is waited for.
build_old() {
    local version=$1 tree=$2 out=$3 root mnt commit log lock
    log=$work/old-build-$version.log
    commit=$(git rev-parse --verify -q "$tree^{commit}") || { echo "no commit $tree in this clone"; return 1; }
    [ "$out" = "$(old_deb_path "$version" "$commit")" ] || { echo "$out is not where $version of $commit is kept"; return 1; }
    mkdir -p "${out%/*}" && exec {lock}>"${out%/*}/lock" && flock "$lock" || return
    # What a run that stopped before its rename left.
    rm -f "${out%/*}"/.new.*
    if old_deb_valid "$out" "$version"; then
        echo "package: $version of ${commit:0:12} kept in ${out%/*}" >&3
        return
    fi
    rm -f "$out"
    root=$(root_build 2>&3) || return
    overlay "$root" "$work/old-build-root" || return
    mnt=$work/old-build-root/mnt
    mkdir -p "$mnt/build/src" || return
    git archive "$commit" | tar -xf - -C "$mnt/build/src" || return
    echo "package: building $version, once (log: build/package/${log##*/})" >&3
    inroot "$mnt" sh -c 'cd /build/src && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -us -uc -b -Pnocheck' \
        2>&1 | progress "package: $version build" "$log" >&3 || { tail -30 "$log"; return 1; }
    old_deb_store "$mnt/build/${out##*/}" "$out" "$version" || return
    umount "$mnt/dev" "$mnt/proc" "$mnt" && rm -rf "$work/old-build-root"
}

# 0.3.2-1, the package that shipped /etc/lvm/cache.
build_old_package() {
    build_old "$old_version" "$old_tree" "$old_deb" || return
    dpkg-deb -c "$old_deb" | grep ' \./etc/lvm/cache/$' >/dev/null || { echo "0.3.2-1 without /etc/lvm/cache"; return 1; }
}

installed_version() { inroot "$R" dpkg-query -W -f='${Version}' "$pkg" 2>&1; }

# host_state: every entry of the root with its type, mode, owner and symlink
# target, but for dpkg's and apt's own records, logs, caches and /tmp: what
# piuparts compares before the first install and after the purge.
host_state() {
    (cd "$R" && find . -xdev \( -path ./var/lib/dpkg -o -path ./var/lib/apt -o -path ./var/cache \
        -o -path ./var/log -o -path ./tmp -o -path ./run \) -prune -o -printf '%p %y %m %u:%g %l\n' | sort)
}

# stands PATH...: exactly what stands at each path: a symlink's target and
# owner, or a directory's inode, mode and owner.
stands() {
    local p t
    for p in "$@"; do
        if [ -L "$R$p" ]; then
            # The target byte for byte: a line feed at its end is kept.
            t=$(readlink -n "$R$p" && echo .)
            echo "$p -> ${t%.} $(stat -c %U:%G "$R$p")"
        elif [ -e "$R$p" ]; then
            echo "$p $(stat -c 'inode %i mode %a %U:%G' "$R$p")"
        else
            echo "$p absent"
        fi
    done
}

# upgrade_from_old KIND: the host as KIND has it before 0.3.2-1 comes; then
# 0.3.2-1 installed with apt and an override stored by its tald (none for
# "empty"), and the upgrade to this package with apt: /etc/lvm and
# /etc/lvm/cache stand exactly as they did, the override is in force; the
# purge leaves the host as it was before 0.3.2-1. KIND:
#   made:        no /etc/lvm: 0.3.2-1's install makes both directories;
#   plain:       the admin's 0755 directory, which then holds the overrides;
#   empty:       the admin's 0755 directory, still empty at the upgrade;
#   symlink:     /etc/lvm/cache -> /srv/tald, the admin's;
#   lvm-symlink: /etc/lvm -> ../srv/lvm, the admin's, holding cache/;
#   dash:        /etc/lvm/cache -> -x (/etc/lvm/-x), a target that reads as
#                an option;
#   line-feed:   /etc/lvm/cache -> "/srv/tald<LF>", a target that ends in a
#                line feed.
upgrade_from_old() {
    local kind=$1 before kept
    [ -s "$old_deb" ] || { echo "no $old_deb"; return 1; }
    inroot "$R" dpkg --purge "$pkg" >/dev/null 2>&1
    rm -rf "${R:?}/etc/lvm" "$R/srv/tald" "$R/srv/tald"$'\n' "$R/srv/lvm" "$R/var/lib/$pkg" &&
        install -m 0644 "$old_deb" "$R/tmp/" || return
    case $kind in
    made) ;;
    plain | empty) mkdir -p "$R/etc/lvm" && mkdir -m 0755 "$R$state" ;;
    symlink) mkdir "$R/etc/lvm" && mkdir -m 0700 "$R/srv/tald" && ln -s /srv/tald "$R$state" ;;
    lvm-symlink) mkdir -p "$R/srv/lvm" && mkdir -m 0700 "$R/srv/lvm/cache" && ln -s ../srv/lvm "$R/etc/lvm" ;;
    dash) mkdir -p "$R/etc/lvm" && mkdir -m 0700 "$R/etc/lvm/-x" && ln -s -- -x "$R$state" ;;
    line-feed) mkdir "$R/etc/lvm" && mkdir -m 0700 "$R/srv/tald"$'\n' && ln -s /srv/tald$'\n' "$R$state" ;;
    esac || return
    # The admin's directories are older than the install by more than the
    # second in which the package's own come into being.
    [ "$kind" = made ] || sleep 1.2
    before=$(host_state)
    inroot "$R" apt-get install -y "/tmp/${old_deb##*/}" >"$R.apt.log" 2>&1 || { tail -20 "$R.apt.log"; return 1; }
    [ "$(installed_version)" = "$old_version" ] || { echo "installed: $(installed_version)"; return 1; }
    if [ "$kind" != empty ]; then
        override_in_force || { echo "0.3.2-1's tald"; return 1; }
    fi
    kept=$(stands /etc/lvm $state)
    apt_install || return
    [ "$(installed_version)" = "$(dpkg-deb -f "$deb" Version)" ] || { echo "after the upgrade: $(installed_version)"; return 1; }
    [ "$(stands /etc/lvm $state)" = "$kept" ] ||
        { printf 'after the upgrade:\n%s\nbefore:\n%s\n' "$(stands /etc/lvm $state)" "$kept"; return 1; }
    [ -z "$(find "$R/etc" "$R/srv" -name "$placeholder")" ] || { find "$R/etc" "$R/srv" -name "$placeholder"; return 1; }
    if [ "$kind" = empty ]; then
        expect 0 4 sim "$R" mpath_prio_tald /dev/sdz || return
    else
        expect 0 8 sim "$R" tald --prio --get /dev/sdb || return
    fi
    apt_remove purge || return
    [ "$(host_state)" = "$before" ] || { diff <(printf '%s\n' "$before") <(host_state); return 1; }
}

# /etc/lvm/cache a symlink into a tree of user nobody's, who has swapped the
# link there for one to a 1777 directory (as /tmp) holding a tald.conf of
# theirs: install and purge change nothing that the link leads to, say why,
# and purge leaves the host as it was.
swapped_link() {
    local before
    inroot "$R" dpkg --purge "$pkg" >/dev/null 2>&1
    rm -rf "${R:?}/etc/lvm" "$R/home/tree" "$R/srv/public" "$R/var/lib/$pkg" &&
        mkdir -p "$R/etc/lvm" "$R/home/tree" && mkdir -m 1777 "$R/srv/public" &&
        echo theirs >"$R/srv/public/tald.conf" && ln -s /srv/public "$R/home/tree/cache" &&
        chown -hR 65534:65534 "$R/home/tree" "$R/srv/public/tald.conf" &&
        ln -s /home/tree/cache "$R$state" || return
    before=$(host_state)
    apt_install || return
    [ "$(stat -c %a "$R/srv/public")" = 1777 ] || { echo "/srv/public: mode $(stat -c %a "$R/srv/public")"; return 1; }
    grep -qF "quelvane-path-manager: $state leads through a directory that a user other than root can change: left as it is." "$R.apt.log" ||
        { echo "no message in:"; cat "$R.apt.log"; return 1; }
    apt_remove purge || return
    [ "$(host_state)" = "$before" ] || { diff <(printf '%s\n' "$before") <(host_state); return 1; }
}

# upgrade_from_previous KIND [VERSION DEB]: 0.3.2-3 as the release before
# the fleet commands shipped it (or VERSION from DEB), installed with apt, an override stored by its tald;
# then the upgrade to this package with apt: tald.conf byte for byte, what
# stands at /etc/lvm and /etc/lvm/cache the same, the override in force; the
# purge leaves the host as it was before 0.3.2-3 came. KIND:
#   made:    no /etc/lvm: 0.3.2-3's postinst makes both directories;
#   plain:   the admin's 0700 directory;
#   symlink: /etc/lvm/cache -> "/srv/tald<LF>", the admin's, a target that
#            ends in a line feed.
upgrade_from_previous() {
    local kind=$1 prev_version=${2:-$prev_version} prev_deb=${3:-$prev_deb}
    local before kept conf=$R.tald.conf.before file=$R$state/tald.conf
    [ -s "$prev_deb" ] || { echo "no $prev_deb"; return 1; }
    inroot "$R" dpkg --purge "$pkg" >/dev/null 2>&1
    rm -rf "${R:?}/etc/lvm" "$R/srv/tald"$'\n' "$R/var/lib/$pkg" "$conf" &&
        install -m 0644 "$prev_deb" "$R/tmp/" || return
    case $kind in
    made) ;;
    plain) mkdir -p "$R/etc/lvm" && mkdir -m 0700 "$R$state" ;;
    symlink)
        mkdir "$R/etc/lvm" && mkdir -m 0700 "$R/srv/tald"$'\n' && ln -s /srv/tald$'\n' "$R$state" &&
            file=$R/srv/tald$'\n'/tald.conf # the link's target is the root's, not this machine's
        ;;
    esac || return
    before=$(host_state)
    inroot "$R" apt-get install -y "/tmp/${prev_deb##*/}" >"$R.apt.log" 2>&1 || { tail -20 "$R.apt.log"; return 1; }
    [ "$(installed_version)" = "$prev_version" ] || { echo "installed: $(installed_version)"; return 1; }
    override_in_force || { echo "$prev_version's tald"; return 1; }
    kept=$(stands /etc/lvm $state)
    cp -p "$file" "$conf" || return
    apt_install || return
    [ "$(installed_version)" = "$(dpkg-deb -f "$deb" Version)" ] || { echo "after the upgrade: $(installed_version)"; return 1; }
    dpkg --compare-versions "$(installed_version)" gt "$prev_version" || { echo "not newer than $prev_version"; return 1; }
    [ "$(stands /etc/lvm $state)" = "$kept" ] ||
        { printf 'after the upgrade:\n%s\nbefore:\n%s\n' "$(stands /etc/lvm $state)" "$kept"; return 1; }
    cmp "$conf" "$file" && [ "$(stat -c '%a %U' "$conf")" = "$(stat -c '%a %U' "$file")" ] ||
        { echo "tald.conf changed by the upgrade"; return 1; }
    expect 0 8 sim "$R" tald --prio --get /dev/sdb || return
    apt_remove purge || return
    rm -f "$conf"
    [ "$(host_state)" = "$before" ] || { diff <(printf '%s\n' "$before") <(host_state); return 1; }
}

# One release: its cached root with multipath-tools, as an admin's host.
release() {
    local suite=$1 root dir
    root=$(root_admin "$suite") || { check "$suite: a root made by debootstrap" false; return; }
    overlay "$root" "$work/$suite" || { check "$suite: overlay of $root" false; return; }
    R=$work/$suite/mnt
    install -m 0644 "$deb" "$work/libsimarray.so" "$scenario" "$R/tmp/" || return
    local glibc mpt dir
    glibc=$(inroot "$R" dpkg-query -W -f='${Version}' libc6)
    mpt=$(inroot "$R" dpkg-query -W -f='${Version}' multipath-tools)
    dir=$(multipath_dir)
    echo "   $suite: libc6 $glibc, multipath-tools $mpt, prioritizers in $dir"
    check "$suite: apt-get install ./$(basename "$deb")" apt_install
    check "$suite: cockpit-quelvane-path-manager beside the release's Cockpit: installed, listed by its bridge, served by its cockpit-ws, purged" \
        tools/cockpit/package_check.sh "$R" "${deb%/*}/cockpit-quelvane-path-manager_$(dpkg-parsechangelog -l debian/changelog -S Version)_all.deb"
    check "$suite: $state made 0700 root" expect 0 "700 root" mode $state
    check "$suite: the plugin in $dir, where that release's multipath looks" plugin_where_multipath_looks "$dir"
    check "$suite: tald -V" expect 0 "Version: tald-dm 0.3.2" sim "$R" tald -V
    check "$suite: mpath_prio_tald /dev/sdz (C1P1 of lunref 0)" expect 0 4 sim "$R" mpath_prio_tald /dev/sdz
    check "$suite: tald --prio --set /dev/sdb 8, then the callout" override_in_force
    check "$suite: without the state directory: lock error, status 255, nothing created" no_state_dir_no_run
    check "$suite: remove keeps tald.conf; purge removes it, the directory and /etc/lvm" fresh_remove_keeps_purge_cleans
    check "$suite: a 0777 directory is tightened to 0755; purge keeps the directory and LVM's files" writable_dir 777 755
    check "$suite: a 1777 directory is tightened to 1755" writable_dir 1777 1755
    check "$suite: an empty 0700 directory that was there stays after purge" empty_dir_kept
    check "$suite: a symlink is kept through install, remove, reinstall and purge" symlink_kept
    check "$suite: a symlink whose target a user swapped for a 1777 directory: nothing there changed" swapped_link
    check "$suite: upgrade from 0.3.2-1 with no /etc/lvm: its directories kept and used; purge removes them" upgrade_from_old made
    check "$suite: upgrade from 0.3.2-1, the admin's directory holding overrides: kept and used, kept by purge" upgrade_from_old plain
    check "$suite: upgrade from 0.3.2-1, the admin's directory empty: kept as it was, by purge too" upgrade_from_old empty
    check "$suite: upgrade from 0.3.2-1, /etc/lvm/cache a symlink: kept and used, kept by purge" upgrade_from_old symlink
    check "$suite: upgrade from 0.3.2-1, /etc/lvm a symlink: kept and used, kept by purge" upgrade_from_old lvm-symlink
    check "$suite: upgrade from 0.3.2-1, /etc/lvm/cache -> a target ending in a line feed: kept and used" upgrade_from_old line-feed
    check "$suite: upgrade from 0.3.2-1, /etc/lvm/cache -> -x: kept and used, kept by purge" upgrade_from_old dash
    check "$suite: upgrade from $prev_version (before the fleet commands) with no /etc/lvm: tald.conf byte for byte, the override in force; purge removes all" upgrade_from_previous made
    check "$suite: upgrade from $prev_version, the admin's directory: tald.conf byte for byte, the override in force, kept by purge" upgrade_from_previous plain
    check "$suite: upgrade from $prev_version, /etc/lvm/cache -> a target ending in a line feed: kept byte for byte with tald.conf" upgrade_from_previous symlink
    check "$suite: upgrade from $last_version, the release before, the admin's directory: tald.conf byte for byte, the override in force; purge leaves the host as before" \
        upgrade_from_previous plain "$last_version" "$last_deb"
    check "$suite: install, remove and purge take /run/tald's look state, never through a symlink" look_state_removed
    check "$suite: with systemd: the catalog listed by journalctl through systemd's trigger, gone after purge; the udev rule's systemctl runs" \
        catalog_through_trigger
    check "$suite: with systemd running: install reloads and starts nothing of the look's; an armed timer and a running look stay through an upgrade, are stopped by apt-get remove" \
        look_stopped_on_remove
    umount "$R/dev" "$R/proc" "$R" 2>/dev/null
}


# --- Boot from SAN: the image that each release's own builder makes with
# the package installed and an override stored. The roots carry no kernel:
# a module directory, a config and an empty vmlinuz of the running kernel's
# version are enough for the builders, and tald in the root (uname) then
# finds the record of that image.

kver=$(uname -r)
sg_note="The initramfs of kernel $kver carries an older copy of the overrides; to boot with these, run:"

# initrd_root SUITE BUILDER: the cached root of the release with multipath
# and the builder (the lower directories for overlay).
initrd_root() {
    root_initrd "$1" "$2" 2>&3
}

# The builder's commands in the root (R, B: the builder, IMG: the image).
build_image() {
    if [ "$B" = dracut ]; then
        inroot "$R" dracut -f --kver "$kver" "$IMG" >"$R.image.log" 2>&1
    else
        inroot "$R" update-initramfs -c -k "$kver" >"$R.image.log" 2>&1
    fi || { tail -n 20 "$R.image.log"; return 1; }
    [ -s "$R$IMG" ] || { echo "no $IMG"; return 1; }
}
image_list() {
    if [ "$B" = dracut ]; then
        inroot "$R" lsinitrd "$IMG" | awk 'NF >= 9 && $1 ~ /^[-dl]/ { print $9 }'
    else
        inroot "$R" lsinitramfs "$IMG"
    fi
}

# in_list LIST PATH: PATH (absolute, as the root names it) in the image's
# list, below /usr too (merged /usr).
in_list() { printf '%s\n' "$1" | grep -qx -e "${2#/}" -e "usr/${2#/}"; }

installed_with_override() {
    apt_install && override_in_force
}

# The image: tald.conf as the host has it, no lock file, the plugin, every
# library that ldd names for it in the release, and the early boot script.
image_carries() {
    local list lib status=0 script
    build_image || return
    list=$(image_list) || return
    # dracut-ng keeps its hooks in /var/lib/dracut/hooks, older dracut in /usr/lib/dracut/hooks.
    [ "$B" = dracut ] && script=$(printf '%s\n' "$list" | grep -m 1 '/hooks/cmdline/10-tald-readonly\.sh$') ||
        script=scripts/init-top/$pkg
    [ -n "$script" ] || { echo "no boot script in the image"; status=1; }
    for lib in /etc/lvm/cache/tald.conf /lib/multipath/libpriotald.so /$script \
        $(inroot "$R" ldd /lib/multipath/libpriotald.so | grep -o '/[^ ]*'); do
        in_list "$list" "$lib" || { echo "not in the image: $lib"; status=1; }
    done
    ! in_list "$list" /etc/lvm/cache/tald.lock || { echo "tald.lock in the image"; status=1; }
    # A systemd image starts multipathd after that script.
    if [ "$B" = dracut ] && in_list "$list" /usr/lib/systemd/systemd; then
        in_list "$list" /usr/lib/systemd/system/multipathd.service.d/$pkg.conf ||
            { echo "no drop-in for multipathd.service"; status=1; }
    fi
    [ -s "$R/var/lib/$pkg/initramfs/$kver.$B" ] || { echo "no record of the image"; status=1; }
    return $status
}

# Unpacked, the image's boot script makes /etc/lvm/cache read-only, and the
# plugin loads there as multipath loads it (dlopen RTLD_NOW, dlsym getprio),
# with the image's own loader and libraries; the test program is built in
# the Debian 11 build root and brings its libdl along where the image has none.
image_loads() {
    local img=$R.unpacked mnt=$work/build-root/mnt out
    rm -rf "$img" "$R/tmp/unpacked" && mkdir -p "$img" "$R/tmp/unpacked" || return
    if [ "$B" = dracut ]; then
        inroot "$R" sh -c "cd /tmp/unpacked && lsinitrd --unpack $IMG"
    else
        inroot "$R" unmkinitramfs "$IMG" /tmp/unpacked
    fi || { echo "cannot unpack $IMG"; return 1; }
    # unmkinitramfs puts the main archive into main/ when early ones precede it.
    if [ -d "$R/tmp/unpacked/main" ]; then
        cp -a "$R/tmp/unpacked/main/." "$img/"
    else
        cp -a "$R/tmp/unpacked/." "$img/"
    fi || return
    [ -e "$img/usr/lib/x86_64-linux-gnu/libdl.so.2" ] || [ -e "$img/lib/x86_64-linux-gnu/libdl.so.2" ] ||
        cp -L "$R/lib/x86_64-linux-gnu/libdl.so.2" "$img/usr/lib/x86_64-linux-gnu/" || return
    cp "$mnt/tmp/dlopen-test" "$img/dlopen-test" && mkdir -p "$img/proc" && mount -t proc proc "$img/proc" || return
    out=$(chroot "$img" /dlopen-test /lib/multipath/libpriotald.so 2>&1) || { echo "dlopen: $out"; umount "$img/proc"; return 1; }
    if [ "$B" = dracut ]; then
        chroot "$img" /bin/sh -c '. /usr/lib/dracut/hooks/cmdline/10-tald-readonly.sh' || echo "boot script: status $?"
    else
        chroot "$img" /scripts/init-top/$pkg || echo "boot script: status $?"
    fi
    out=$(chroot "$img" /bin/sh -c ': >/etc/lvm/cache/tald.lock' 2>&1)
    umount "$img/etc/lvm/cache" 2>/dev/null
    umount "$img/proc"
    case $out in
    *"Read-only file system"*) ;;
    *) echo "/etc/lvm/cache writable in the image: $out"; return 1 ;;
    esac
}

# tald --check and --prio --set say when the image carries other overrides,
# and what to run; after that the note is gone.
stale_note() {
    local cmd="update-initramfs -u -k" out
    [ "$B" = dracut ] && cmd="dracut -f --kver"
    out=$(sim "$R" tald --check) || { echo "tald --check: status $?: $out"; return 1; }
    ! grep -q initramfs <<<"$out" || { echo "image current, yet: $out"; return 1; }
    out=$(sim "$R" tald --prio --set /dev/sdb 6 2>&1 >/dev/null)
    [ "$out" = "$sg_note $cmd $kver" ] || { printf 'tald --prio --set, stderr:\n%s\n' "$out"; return 1; }
    sim "$R" tald --check | grep -qxF "$sg_note $cmd $kver" || { echo "tald --check: no note"; return 1; }
    # shellcheck disable=SC2086
    inroot "$R" $cmd "$kver" >"$R.image.log" 2>&1 || { tail -n 20 "$R.image.log"; return 1; }
    out=$(sim "$R" tald --check)
    ! grep -q initramfs <<<"$out" || { echo "after $cmd: $out"; return 1; }
}

# An image written elsewhere, and a build that fails after the package's
# hook (a later hook's error), leave the host booting the image before
# them: the note stays until a build puts a new image into /boot.
stale_after_failed_build() {
    local cmd="update-initramfs -u -k" fail out
    [ "$B" = dracut ] && cmd="dracut -f --kver"
    sim "$R" tald --prio --set /dev/sdb 7 >/dev/null 2>&1
    sim "$R" tald --check | grep -qxF "$sg_note $cmd $kver" || { echo "no note after the change"; return 1; }
    rm -f "$R/tmp/elsewhere.img"
    if [ "$B" = dracut ]; then
        inroot "$R" dracut -f /tmp/elsewhere.img "$kver"
    else
        inroot "$R" mkinitramfs -o /tmp/elsewhere.img "$kver"
    fi >"$R.image.log" 2>&1 || { tail -n 20 "$R.image.log"; return 1; }
    [ -s "$R/tmp/elsewhere.img" ] || { echo "no /tmp/elsewhere.img"; return 1; }
    out=$(sim "$R" tald --check)
    grep -qxF "$sg_note $cmd $kver" <<<"$out" || { printf 'an image written elsewhere, then tald --check:\n%s\n' "$out"; return 1; }
    # A hook or module that runs after the package's and fails the build.
    if [ "$B" = dracut ]; then
        fail=$R/usr/lib/dracut/modules.d/99tald-test-fail
        mkdir -p "$fail" && printf '%s\n' '#!/bin/bash' 'check() { return 0; }' 'depends() { return 0; }' \
            'install() { echo "a later module fails the build" >&2; exit 1; }' >"$fail/module-setup.sh"
    else
        fail=$R/etc/initramfs-tools/hooks/zz-tald-test-fail
        printf '%s\n' '#!/bin/sh' '[ "$1" = prereqs ] && exit 0' 'echo "a later hook fails the build" >&2' 'exit 1' >"$fail"
    fi
    chmod -R 0755 "$fail" || return
    # shellcheck disable=SC2086
    if inroot "$R" $cmd "$kver" >"$R.image.log" 2>&1; then
        rm -rf "$fail"
        echo "the build with a failing hook succeeded"; tail -n 20 "$R.image.log"; return 1
    fi
    rm -rf "$fail"
    out=$(sim "$R" tald --check)
    grep -qxF "$sg_note $cmd $kver" <<<"$out" || { printf 'a failed build, then tald --check:\n%s\n' "$out"; tail -n 5 "$R.image.log"; return 1; }
    # shellcheck disable=SC2086
    inroot "$R" $cmd "$kver" >"$R.image.log" 2>&1 || { tail -n 20 "$R.image.log"; return 1; }
    out=$(sim "$R" tald --check)
    ! grep -q initramfs <<<"$out" || { echo "after $cmd: $out"; return 1; }
}

# The update-initramfs trigger: reinstalling the package makes the image again.
trigger_updates() {
    local before
    before=$(stat -c %Y.%Z "$R$IMG")
    sleep 1.1
    inroot "$R" apt-get install -y --reinstall "/tmp/$(basename "$deb")" >"$R.apt.log" 2>&1 || { tail -20 "$R.apt.log"; return 1; }
    [ "$(stat -c %Y.%Z "$R$IMG")" != "$before" ] || { echo "$IMG not made again"; grep -i trigger "$R.apt.log"; return 1; }
}

boot_image() {
    local suite=$1 builder=$2 root label="$1, $2" lvm2_copy=", though lvm2's hook copies /etc/lvm"
    [ "$builder" = initramfs-tools ] || lvm2_copy=
    root=$(initrd_root "$suite" "$builder") || { check "$label: a root with multipath and $builder" false; return; }
    overlay "$root" "$work/$suite-$builder" || { check "$label: overlay of $root" false; return; }
    R=$work/$suite-$builder/mnt B=$builder IMG=/boot/initrd.img-$kver
    install -m 0644 "$deb" "$work/libsimarray.so" "$scenario" "$R/tmp/" &&
        mkdir -p "$R/usr/lib/modules/$kver" && : >"$R/boot/vmlinuz-$kver" &&
        printf 'CONFIG_RD_GZIP=y\nCONFIG_RD_ZSTD=y\nCONFIG_BLK_DEV_INITRD=y\n' >"$R/boot/config-$kver" &&
        inroot "$R" depmod "$kver" 2>/dev/null || { check "$label: a kernel $kver without modules" false; return; }
    # dracut takes multipath in for a root on multipath; this root is none.
    # lvm2's initramfs-tools hook copies /etc/lvm whole, tald.lock too: a
    # stand-in of that name where lvm2 puts it does the same here (a hook in
    # /etc/initramfs-tools/hooks would run after every hook of the package's).
    if [ "$builder" = dracut ]; then
        echo 'add_dracutmodules+=" multipath "' >"$R/etc/dracut.conf.d/multipath.conf"
    else
        printf '%s\n' '#!/bin/sh' '[ "$1" = prereqs ] && exit 0' 'cp -a /etc/lvm "$DESTDIR/etc/"' \
            >"$R/usr/share/initramfs-tools/hooks/lvm2" && chmod 0755 "$R/usr/share/initramfs-tools/hooks/lvm2"
    fi
    check "$label: install, tald --prio --set /dev/sdb 8" installed_with_override
    check "$label: the image carries tald.conf (no tald.lock${lvm2_copy:-}), the plugin, every library ldd names, the boot script" image_carries
    check "$label: in the image /etc/lvm/cache is read-only and the plugin loads" image_loads
    check "$label: tald --check and --prio --set say the image is stale, and what to run" stale_note
    check "$label: an image written elsewhere and a build that failed after the hook leave the note saying stale" stale_after_failed_build
    check "$label: reinstalling the package makes the image again (update-initramfs trigger)" trigger_updates
    umount "$R/dev" "$R/proc" "$R" 2>/dev/null
}

# The dlopen test of image_loads, built once in the Debian 11 build root.
dlopen_test() {
    local mnt=$work/build-root/mnt
    printf '%s\n' '#include <dlfcn.h>' '#include <stdio.h>' \
        'int main(int argc, char **argv) {' \
        '    void *h = argc > 1 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : 0;' \
        '    if (!h || !dlsym(h, "getprio")) { puts(dlerror()); return 1; }' \
        '    return dlclose(h);' '}' >"$mnt/tmp/dlopen-test.c" &&
        inroot "$mnt" gcc -o /tmp/dlopen-test /tmp/dlopen-test.c -ldl
}

# --- Debian's piuparts on each release: install and purge, and the upgrade
# from 0.3.2-1 (served to apt from a local repository), in a copy of the
# release's initramfs-tools root, with the archive of APT's sources.
piuparts_release() {
    local suite=$1 lower root=$work/piuparts-root mirror repo=$work/old-repo log=$work/piuparts-$1.log status=0
    # piuparts copies the root it starts from: a read-only view of the layers.
    lower=$(initrd_root "$suite" initramfs-tools) || return
    # shellcheck source=tools/apt_mirror.sh
    . tools/apt_mirror.sh && mirror=$(apt_mirror) || return
    rm -rf "$repo" "$work/piuparts-tmp" && mkdir -p "$repo" "$work/piuparts-tmp" "$root" &&
        cp "$old_deb" "$repo/" && (cd "$repo" && dpkg-scanpackages . >Packages 2>/dev/null) &&
        mount -t overlay overlay -o "lowerdir=$lower" "$root" || return
    piuparts -d "$suite" -m "$mirror" -e "$root" -t "$work/piuparts-tmp" -l "$log" \
        --bindmount "$repo" --extra-repo "deb [trusted=yes] file://$repo ./" \
        --ignore=/var/cache/debconf/tmp.ci/ "$deb" >/dev/null 2>&1 || status=1
    umount "$root"
    [ "$status" -eq 0 ] || { grep -E 'FAIL|ERROR' "$log" | head -n 20; return 1; }
    grep -q 'PASS: Installation, upgrade and purging tests' "$log" || { echo "no upgrade test in $log"; return 1; }
}

mkdir -p "$work"
rm -rf "${work:?}"/*.deb "$work"/*.changes "$work"/*.buildinfo
check "dpkg-buildpackage -us -uc -b in a Debian $build_suite root, tests on (log: build/package/build.log)" build_package
[ "$failed" -eq 0 ] || finish
check "the package's tests ran at build time and passed" tests_ran
check "no warning in the build (log: build/package/build.log)" build_warning_free
deb=$(deb_file)
check "lintian: no errors" lintian_clean
[ -s "$work/lintian.txt" ] && cat "$work/lintian.txt"
check "Depends from shlibs (libc6 of Debian 11 or older), Recommends multipath-tools" fields "$deb"
check "contents: programs, plugin, man pages, examples, metrics units, the catalog, the look's rule and unit, the sos extras (a conffile); no /etc/lvm; maintainer scripts" contents "$deb"
rm -rf "$work/extract" && dpkg-deb -x "$deb" "$work/extract"
check "installed man pages render without warnings" man_pages_render "$work/extract"
check "the look's rule arms tald-look.timer, which starts tald-look.service 5 s later; neither has an [Install] section" look_units "$work/extract"
check "plugin: exports only getprio, no C++ runtime, loads with RTLD_NOW" plugin_exports "$work/extract/lib/multipath/libpriotald.so"
check "every host: no GLIBC newer than 2.17 nor C++ runtime imported, Depends libc6 (>= 2.17), the plugin under each loader generation" every_host "$work/extract" "$deb"
check "$old_version built from its tree ($old_tree) for the upgrades (kept in $old_debs_dir)" build_old_package
check "$prev_version built from its tree ($prev_tree, before the fleet commands) for the upgrades (kept in $old_debs_dir)" build_old "$prev_version" "$prev_tree" "$prev_deb"
check "$last_version built from its tree ($last_tree, the release before) for the upgrade (kept in $old_debs_dir)" build_old "$last_version" "$last_tree" "$last_deb"
for suite in "${admin_suites[@]}"; do
    release "$suite"
done
begun=$SECONDS
for suite in "${admin_suites[@]}"; do
    check "$suite: piuparts: install and purge, upgrade from $old_version (log: build/package/piuparts-$suite.log)" \
        piuparts_release "$suite"
done
echo "   piuparts: $((SECONDS - begun)) s"
begun=$SECONDS
check "a dlopen test program built in the Debian $build_suite root" dlopen_test
for pair in bullseye:initramfs-tools bookworm:initramfs-tools trixie:initramfs-tools trixie:dracut; do
    boot_image "${pair%%:*}" "${pair#*:}"
done
echo "   the images of the four release/builder pairs: $((SECONDS - begun)) s"
finish
