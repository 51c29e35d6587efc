#!/bin/sh
# The removal script's way to the metrics (in_dir of the postrm, taken from
# it as it ships): tald.prom is removed where the way is real directories,
# or root's symlinks, and left, status 2, where a user other than root owns
# the directory that holds a symlink on it (the collector's account owns
# /var/lib/prometheus) or its group can write it. Run by dash, as dpkg runs
# the script; as root, for the other user's directory.
#   postrm_way_test.sh POSTRM
set -eu
postrm=$1
[ "$(id -u)" = 0 ] || { echo "skipped: the ownership rules apply to runs as root"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for f in closed_dir in_dir; do
    sed -n "/^$f() {\$/,/^}\$/p" "$postrm"
done >"$dir/functions"
grep -q '^in_dir() {$' "$dir/functions" || { echo "no in_dir in $postrm"; exit 1; }

failed=0
# way CASE WAY STATUS LEFT: removing WAY/tald.prom ends with STATUS, and
# t/secret/tald.prom (root's, mode 0600) is there afterwards (LEFT yes) or not.
way() {
    rm -rf "$dir/t"
    t=$dir/t
    mkdir -m 0755 "$t" "$t/etc" "$t/collector" "$t/shared"
    mkdir -m 0700 "$t/secret"
    mkdir -m 0755 "$t/collector/real"
    chown 65534 "$t/collector" && chmod 0775 "$t/shared"
    echo "root's" >"$t/secret/tald.prom" && chmod 0600 "$t/secret/tald.prom"
    echo "metrics" >"$t/collector/real/tald.prom"
    ln -s "$t/secret" "$t/collector/ne"
    ln -s "$t/secret" "$t/shared/ne"
    ln -s ../secret "$t/etc/out"
    ln -s "$t/collector/ne" "$t/etc/ne"
    status=0
    dash -c '. "$1"; (in_dir "$2" && rm -f tald.prom) || exit $?' sh "$dir/functions" "$t/$2" ||
        status=$?
    left=no
    [ ! -e "$t/secret/tald.prom" ] || left=yes
    if [ "$status" != "$3" ] || [ "$left" != "$4" ]; then
        echo "FAIL  $1: status $status (want $3), root's file left: $left (want $4)"
        failed=1
    fi
}
way "a link in a directory of another user's" collector/ne 2 yes
way "a link in root's directory that its group can write" shared/ne 2 yes
way "root's link to another user's link" etc/ne 2 yes
way "root's link to root's directory" etc/out 0 no
way "no such directory" collector/none 1 yes
way "root's directory in another user's (the textfile directory)" collector/real 0 yes
[ ! -e "$dir/t/collector/real/tald.prom" ] || { echo "FAIL  the metrics were not removed"; failed=1; }
exit "$failed"
