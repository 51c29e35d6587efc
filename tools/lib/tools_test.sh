#!/usr/bin/env bash
# The seams of the tools' shared shell, without an archive or a guest.
#   lib:   the lines of tools/lib/check.sh that tools/test.sh counts,
#          tools/guest/common.sh's bounded wait in a plain sh, and which
#          old release's package tools/lib/old_debs.sh uses and stores;
#   roots: tools/debroot.sh's layers on a stand-in base whose apt-get records
#          its calls, and tools/roots.sh's roots on stand-in bases of each
#          release (needs root and overlayfs; 77: skipped).
#   tools/lib/tools_test.sh lib|roots
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tald-tools.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fails=0

# is NAME WANT GOT
is() {
    if [ "$2" = "$3" ]; then
        echo "ok    $1"
    else
        echo "FAIL  $1"
        printf 'wanted:\n%s\ngot:\n%s\n' "$2" "$3"
        fails=$((fails + 1))
    fi
}

lib() {
    local out st script case name want
    # SCRIPT (after sourcing check.sh) | the output and status it must give
    while IFS='|' read -r name script want; do
        st=0
        out=$(bash -c ". '$top/tools/lib/check.sh'; $script" 2>&1) || st=$?
        is "check.sh: $name" "$(printf '%b' "$want")" "$out status $st"
    done <<'EOF'
checks and finish|check a true; check b sh -c 'echo why; exit 3'; finish|ok    a\nFAIL  b\n      why\n1 passed, 1 failed status 1
not run|not_run who needs this and that; echo after|who: not run: needs this and that\n0 passed, 1 failed status 1
EOF
    for case in "5|yes 3" "2|no 2"; do
        out=$(sh -c '. "$1"; n=0; again() { n=$((n + 1)); [ $n -ge 3 ]; }
            if wait_for $2 0 again; then echo yes $n; else echo no $n; fi' sh "$top/tools/guest/common.sh" "${case%|*}")
        is "common.sh: wait_for at most ${case%|*} tries, the command succeeding on its third" "${case#*|}" "$out"
    done
}

# tools/lib/old_debs.sh: a package kept for the upgrades is used only when
# whole and of the version asked for; storing one leaves either the whole
# package or nothing at its name, never a temporary file.
old_debs() {
    local c=$tmp/old d=$tmp/pkgdir deb size name kept st
    mkdir -p "$d/DEBIAN" "$d/usr/share/t" && head -c 200000 /dev/urandom >"$d/usr/share/t/data" &&
        printf '%s\n' 'Package: quelvane-path-manager' 'Version: 1.0-1' 'Architecture: all' \
            'Maintainer: t <t@example.org>' 'Description: t' >"$d/DEBIAN/control" &&
        dpkg-deb -Zgzip --root-owner-group --build "$d" "$tmp/whole.deb" >/dev/null || { is "old_debs: a package built" 0 1; return; }
    size=$(stat -c %s "$tmp/whole.deb")
    head -c $((size - 4096)) "$tmp/whole.deb" >"$tmp/cut.deb"
    ln -s whole.deb "$tmp/link.deb"
    # shellcheck source=tools/lib/old_debs.sh
    TALD_ROOT_CACHE=$c . "$top/tools/lib/old_debs.sh"
    is "old_debs: kept under the roots' cache, by version and commit" \
        "$c/old-packages/1.0-1_abc/quelvane-path-manager_1.0-1_$(dpkg --print-architecture).deb" "$(old_deb_path 1.0-1 abc)"
    # FILE VERSION | valid or not
    while IFS='|' read -r name deb kept; do
        st=0 && old_deb_valid "$tmp/$deb" "${kept%% *}" || st=$?
        is "old_debs: $name" "${kept#* }" "$([ $st = 0 ] && echo used || echo rebuilt)"
    done <<'EOF'
whole, of the version|whole.deb|1.0-1 used
whole, of another version|whole.deb|1.0-2 rebuilt
cut short in its data (dpkg-deb --info alone reads it)|cut.deb|1.0-1 rebuilt
absent|none.deb|1.0-1 rebuilt
a symlink|link.deb|1.0-1 rebuilt
EOF
    kept=$(old_deb_path 1.0-1 abc)
    st=0 && old_deb_store "$tmp/cut.deb" "$kept" 1.0-1 >/dev/null || st=$?
    is "old_debs: a damaged package is not stored" "1 | " "$st | $(ls -A "$c/old-packages/1.0-1_abc" 2>/dev/null)"
    st=0 && old_deb_store "$tmp/whole.deb" "$kept" 1.0-1 || st=$?
    is "old_debs: a whole one is, alone, and used" "0 | ${kept##*/} | used" \
        "$st | $(ls -A "${kept%/*}") | $(old_deb_valid "$kept" 1.0-1 && echo used)"
}

# A stand-in for debootstrap's base: sh, env and an apt-get that records
# each call and what its install sees (INITRD, dpkg's settings) in the
# release's shared archive directory and makes a file per package (the
# package "broken" fails, and so does P where the base has /fail-P).
stand_in_base() {
    local base=$1 f lib
    mkdir -p "$base"/{usr/bin,usr/sbin,proc,dev,var/cache/apt/archives,etc/dpkg/dpkg.cfg.d}
    ln -s usr/bin "$base/bin"
    for f in /usr/bin/dash /usr/bin/env; do
        cp "$f" "$base$f"
        for lib in $(ldd "$f" | grep -o '/[^ ]*'); do
            mkdir -p "$base$(dirname "$lib")" && cp -L "$lib" "$base$lib"
        done
    done
    ln -s dash "$base/usr/bin/sh"
    cat >"$base/usr/bin/apt-get" <<'EOF'
#!/bin/sh
echo "$*" >>/var/cache/apt/archives/calls
[ "$1" = install ] || exit 0
read -r io </etc/dpkg/dpkg.cfg.d/tald-unsafe-io || io=
echo "INITRD=${INITRD:-} $io" >>/var/cache/apt/archives/seen
for p; do
    [ ! -e "/fail-$p" ] || exit 1
    case $p in broken) exit 1 ;; -* | *=* | install) ;; *) : >"/installed-$p" ;; esac
done
EOF
    chmod 755 "$base/usr/bin/apt-get"
}

roots() {
    local c=$tmp/cache out st
    # (not where the temporary directory is on an overlay itself, as in the
    # package's build root)
    mkdir -p "$tmp/probe"/{l1,l2,u,w,m}
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount --propagation private mount -t overlay overlay \
        -o "lowerdir=$tmp/probe/l1:$tmp/probe/l2,upperdir=$tmp/probe/u,workdir=$tmp/probe/w" "$tmp/probe/m" 2>/dev/null; then
        echo "skipped: needs root, a mount namespace and an overlay in $tmp"
        exit 77
    fi
    stand_in_base "$c/test/base"
    echo "test minbase" >"$c/test/base.stamp"
    r() { TALD_ROOT_CACHE=$c "$top/tools/debroot.sh" test one "$@" 2>"$tmp/err"; }
    calls() { wc -l <"$c/test/archives/calls"; }
    is "debroot: the layers printed" "$c/test/one:$c/test/base" "$(r a b)"
    is "debroot: the packages in the layer, not the base" "installed-a installed-b | installed-*" \
        "$(cd "$c/test/one" && echo installed-*) | $(cd "$c/test/base" && echo installed-*)"
    is "debroot: the install makes no initramfs and has dpkg skip its syncs; the layer keeps neither" \
        "INITRD=No force-unsafe-io | 0" \
        "$(cat "$c/test/archives/seen") | $(find "$c/test/one/etc/dpkg/dpkg.cfg.d" -mindepth 1 | wc -l)"
    r a b >/dev/null
    is "debroot: the same list again: not made again" 1 "$(calls)"
    r a >/dev/null
    is "debroot: another list: made again, with that list" "2 installed-a" "$(calls) $(cd "$c/test/one" && echo installed-*)"
    sleep 0.01 && echo "test minbase" >"$c/test/base.stamp"
    r a >/dev/null
    is "debroot: a new base: made again" 3 "$(calls)"
    st=0 && r broken >/dev/null || st=$?
    # (install, update, install again; then one install)
    is "debroot: a failed install: tried again after apt-get update, status 1, no layer kept; then made" "1 no 7" \
        "$st $([ -e "$c/test/one.stamp" ] && echo yes || echo no) $(r a >/dev/null && calls)"
    is "debroot: nothing of the cache left mounted" 0 "$(grep -c "$c" /proc/self/mountinfo || true)"
    # shellcheck disable=SC2016
    out=$(flock "$c/test/lock" sh -c 'timeout 60 "$@" && echo printed' sh env TALD_ROOT_CACHE="$c" \
        "$top/tools/debroot.sh" test one a 2>&1) || true
    is "debroot: a root made already is printed while another run holds the release's lock" \
        "$c/test/one:$c/test/base printed 7" "${out//$'\n'/ } $(calls)"
    # shellcheck disable=SC2016
    out=$(unshare --mount --propagation private sh -c \
        'mkdir -p "$2" && mount -t overlay overlay -o "lowerdir=$1" "$2" && cd "$2" && echo usr/bin/env installed-*' \
        sh "$(r a)" "$tmp/view")
    is "debroot: the layers as one read-only tree" "usr/bin/env installed-a" "$out"
}

# tools/roots.sh on stand-in bases of every release: each root the stages
# ask for made once, in their order; a root that fails is said and the
# others still made; made already, none is made again.
roots_ahead() {
    local c=$tmp/ahead s out st=0 before
    for s in bullseye bookworm trixie sid; do
        stand_in_base "$c/$s/base"
        echo "$s minbase" >"$c/$s/base.stamp"
    done
    : >"$c/bookworm/base/fail-zstd"
    out=$(TALD_ROOT_CACHE=$c "$top/tools/roots.sh" 2>/dev/null) || st=$?
    is "roots.sh: every root, in the stages' order; the failed one said, status 1" "$(printf '%s\n' \
        "roots: build: N s" "roots: admin bullseye: N s" "roots: admin bookworm: N s" "roots: admin trixie: N s" \
        "roots: initrd bullseye initramfs-tools: N s" "roots: initrd bookworm initramfs-tools: N s" \
        "roots: initrd trixie initramfs-tools: N s" "roots: initrd trixie dracut: N s" "roots: admin sid: N s" \
        "roots: san bullseye initramfs-tools: N s" "roots: san bookworm initramfs-tools: failed after N s" \
        "roots: san trixie initramfs-tools: N s" "roots: san trixie dracut: N s" "roots: all in N s" "status 1")" \
        "$(sed -E 's/[0-9]+ s$/N s/' <<<"$out"; echo "status $st")"
    is "roots.sh: the layers hold the stages' packages" "installed-dracut installed-linux-image-amd64 | installed-debhelper" \
        "$(cd "$c/trixie/sandracut" && echo installed-dracut installed-linux-*) | $(cd "$c/bullseye/build" && echo installed-debhelper)"
    rm "$c/bookworm/base/fail-zstd"
    st=0 && before=$(cat "$c"/*/archives/calls | wc -l)
    TALD_ROOT_CACHE=$c "$top/tools/roots.sh" >/dev/null 2>&1 || st=$?
    is "roots.sh: again: only the failed root made, status 0" "0 1 bookworm" \
        "$st $(($(cat "$c"/*/archives/calls | wc -l) - before)) $(cd "$c" && echo */san/installed-zstd | sed 's#/.*##')"
}

case ${1:-} in
lib) lib; old_debs ;;
roots) roots; roots_ahead ;;
*) echo "usage: tools/lib/tools_test.sh lib|roots" >&2; exit 2 ;;
esac
[ "$fails" -eq 0 ]
