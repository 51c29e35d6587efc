#!/usr/bin/env bash
# The seams of the tools' shared shell, without an archive or a guest.
#   lib:   the lines of tools/lib/check.sh that tools/test.sh counts, and
#          tools/guest/common.sh's bounded wait in a plain sh;
#   roots: tools/debroot.sh's layers on a stand-in base whose apt-get records
#          its calls (needs root and overlayfs; 77: skipped).
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

# A stand-in for debootstrap's base: sh, env and an apt-get that records
# each call in the release's shared archive directory and makes a file per
# package (the package "broken" fails).
stand_in_base() {
    local base=$1 f lib
    mkdir -p "$base"/{usr/bin,usr/sbin,proc,dev,var/cache/apt/archives}
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
for p; do
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
    out=$(unshare --mount --propagation private sh -c \
        'mkdir -p "$2" && mount -t overlay overlay -o "lowerdir=$1" "$2" && cd "$2" && echo usr/bin/env installed-*' \
        sh "$(r a)" "$tmp/view")
    is "debroot: the layers as one read-only tree" "usr/bin/env installed-a" "$out"
}

case ${1:-} in
lib) lib ;;
roots) roots ;;
*) echo "usage: tools/lib/tools_test.sh lib|roots" >&2; exit 2 ;;
esac
[ "$fails" -eq 0 ]
