#!/usr/bin/env bash
# Builds the Debian package from the working tree with Debian's own tooling,
# checks it with lintian, installs it into a scratch root with dpkg and runs
# the installed programs from there under the simulated array, whose state
# directory is the scratch root's /etc/lvm/cache. Nothing is installed on this
# machine. Everything lives in build/package; the last line is
# "N passed, M failed".
#   tools/package_test.sh [LIBSIMARRAY]   (default: build/normal's, built if needed)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
work=$top/build/package
simlib=${1:-$top/build/normal/tools/simarray/libsimarray.so}
scenario=$top/tools/simarray/scenarios/array8.scn
pkg=quelvane-path-manager
passed=0
failed=0

# check NAME COMMAND...: one line per check; the command's output only when it fails.
check() {
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok    $name"
    else
        failed=$((failed + 1))
        echo "FAIL  $name"
        [ -z "$out" ] || printf '%s\n' "$out" | sed 's/^/      /'
    fi
}

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# expect WANT_STATUS WANT_OUTPUT COMMAND...: the command's exit status and
# standard output, exactly.
expect() {
    local want_status=$1 want=$2 out status
    shift 2
    out=$("$@")
    status=$?
    [ "$status" -eq "$want_status" ] || { echo "exit status $status, wanted $want_status"; return 1; }
    [ "$out" = "$want" ] || { printf 'output:\n%s\nwanted:\n%s\n' "$out" "$want"; return 1; }
}

sim() {
    local state=$1
    shift
    LD_PRELOAD=$simlib SIMARRAY_SCENARIO=$scenario SIMARRAY_STATE_DIR=$state "$@"
}

build_package() {
    rm -rf "$work" && mkdir -p "$work/src" || return
    tar --exclude=./build --exclude='./build-*' --exclude=./.git --exclude=./obj-deb -cf - . | tar -xf - -C "$work/src" || return
    (cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -us -uc -b) \
        >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; return 1; }
}

deb_file() { echo "$work/${pkg}_$(dpkg-parsechangelog -l debian/changelog -S Version)_$(dpkg --print-architecture).deb"; }

lintian_clean() {
    local out
    out=$(lintian --pedantic -I "$work"/*.changes 2>&1 | grep -v '^N: running with root')
    printf '%s\n' "$out" | grep -q '^E:' && { printf '%s\n' "$out"; return 1; }
    # Shown with the check's name below, not a failure.
    printf '%s\n' "$out" | sed -n 's/^\([WIP]\): /      lintian \1: /p' >"$work/lintian.txt"
}

fields() {
    local deb=$1
    # Computed from the binaries: the C library (libsysfs is linked from its
    # archive where Debian ships one).
    dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || { echo "Depends: $(dpkg-deb -f "$deb" Depends)"; return 1; }
    [ "$(dpkg-deb -f "$deb" Recommends)" = multipath-tools ] || { echo "Recommends: $(dpkg-deb -f "$deb" Recommends)"; return 1; }
}

contents() {
    local deb=$1 list f status=0
    list=$(dpkg-deb -c "$deb") || return
    for f in ./sbin/tald ./sbin/mpath_prio_tald \
        ./usr/share/man/man8/tald.8.gz ./usr/share/man/man8/mpath_prio_tald.8.gz \
        ./usr/share/man/man8/libpriotald.8.gz \
        ./usr/share/doc/$pkg/examples/multipath.conf.plugin \
        ./usr/share/doc/$pkg/examples/multipath.conf.callout \
        ./usr/share/doc/$pkg/copyright; do
        printf '%s\n' "$list" | grep -q " $f\$" || { echo "missing $f"; status=1; }
    done
    # dh_compress compresses a README of more than 4 KiB.
    printf '%s\n' "$list" | grep -Eq " \./usr/share/doc/$pkg/README\.md(\.gz)?\$" || { echo "missing README.md"; status=1; }
    printf '%s\n' "$list" | grep -q '^drwx------ root/root .* \./etc/lvm/cache/$' ||
        { echo "etc/lvm/cache: $(printf '%s\n' "$list" | grep 'etc/lvm/cache')"; status=1; }
    if [ -e "$work/src/obj-deb/libpriotald.so" ] || find "$work/src/obj-deb" -name libpriotald.so | grep -q .; then
        printf '%s\n' "$list" | grep -q ' \./lib/multipath/libpriotald\.so$' || { echo "missing ./lib/multipath/libpriotald.so"; status=1; }
    fi
    return $status
}

install_root() {
    local root=$1 deb=$2
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers" &&
        touch "$root/var/lib/dpkg/status" || return
    # The scratch root has no libc6 or libsysfs2 of its own: the programs run
    # with the machine's.
    dpkg --root="$root" --log=/dev/null --force-depends -i "$deb" || return
    [ "$(stat -c '%a %U' "$root/etc/lvm/cache")" = "700 root" ] || { stat -c '%a %U %n' "$root/etc/lvm/cache"; return 1; }
}

man_pages_render() {
    local root=$1 page out status=0
    for page in "$root"/usr/share/man/man8/{tald,mpath_prio_tald,libpriotald}.8.gz; do
        out=$(zcat "$page" | groff -man -ww -z 2>&1) && [ -z "$out" ] || { echo "$page: $out"; status=1; }
        zcat "$page" | groff -man -T utf8 2>/dev/null | grep -q 'higher' || { echo "$page: no word on which priority wins"; status=1; }
    done
    return $status
}

no_state_dir_no_run() {
    local root=$1 absent=$1/etc/lvm/absent lock="Error:  Unable to obtain lock."
    expect 255 "$lock" sim "$absent" "$root/sbin/tald" -V || return
    expect 255 "$lock" sim "$absent" "$root/sbin/mpath_prio_tald" --help || return
    [ ! -e "$absent" ] || { echo "a program created $absent"; return 1; }
}

override_in_force() {
    local root=$1 state=$1/etc/lvm/cache
    sim "$state" "$root/sbin/tald" --prio --set /dev/sdb 8 >/dev/null || { echo "tald --prio --set: status $?"; return 1; }
    expect 0 8 sim "$state" "$root/sbin/mpath_prio_tald" /dev/sdb
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

remove_root() {
    local root=$1
    dpkg --root="$root" --log=/dev/null --purge "$pkg" || return
    [ ! -e "$root/sbin/tald" ] && [ ! -e "$root/etc/lvm/cache" ] || { ls -lR "$root/sbin" "$root/etc" 2>&1; return 1; }
}

if [ ! -e "$simlib" ]; then
    cmake -S . -B build/normal -G Ninja >/dev/null && cmake --build build/normal --target simarray >/dev/null
fi

check "dpkg-buildpackage -us -uc -b (log: build/package/build.log)" build_package
[ "$failed" -eq 0 ] || finish
deb=$(deb_file)
check "lintian: no errors" lintian_clean
[ -s "$work/lintian.txt" ] && cat "$work/lintian.txt"
check "Depends from shlibs, Recommends multipath-tools" fields "$deb"
check "contents: programs, man pages, examples, /etc/lvm/cache 0700 root" contents "$deb"
root=$work/root
check "dpkg --root installs it into a scratch root" install_root "$root" "$deb"
state=$root/etc/lvm/cache
help=$'\n Usage: mpath_prio_tald -[PATH] \n               example:  mpath_prio_tald /dev/sdb \n '
check "tald -V" expect 0 "Version: tald-dm 0.3.2" sim "$state" "$root/sbin/tald" -V
check "mpath_prio_tald --help" expect 0 "$help" sim "$state" "$root/sbin/mpath_prio_tald" --help
check "mpath_prio_tald /dev/sdz (C1P1 of lunref 0)" expect 0 4 sim "$state" "$root/sbin/mpath_prio_tald" /dev/sdz
check "tald --prio --set /dev/sdb 8, then the callout" override_in_force "$root"
check "without /etc/lvm/cache: lock error, status 255, nothing created" no_state_dir_no_run "$root"
check "installed man pages render without warnings" man_pages_render "$root"
if [ -e "$root/lib/multipath/libpriotald.so" ]; then
    check "plugin: exports only getprio, no C++ runtime, loads with RTLD_NOW" plugin_exports "$root/lib/multipath/libpriotald.so"
fi
rm -f "$state/tald.conf" "$state/tald.lock"
check "dpkg --purge removes it from the scratch root" remove_root "$root"
finish
