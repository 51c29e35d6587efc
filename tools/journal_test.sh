#!/bin/bash
# The journal's entries, its catalog and the support bundle, with the real
# programs: systemd-journald, journalctl and sos report. Runs as root in a
# mount namespace of its own, where a tmpfs lies over /run and
# /var/log/journal and temporary directories over /etc/lvm/cache and
# /etc/sos/extras.d, so that nothing of the machine's is read or written:
#   1. tald's set, reset, apply, drain and restore under the simulated
#      array, the entries read back with `journalctl -o json` and every
#      field checked against the change the command printed;
#   2. the catalog, updated with `journalctl --update-catalog` in a
#      temporary root: each message id with its subject;
#   3. `sos report --batch` with the extras plugin only: the bundle holds
#      each file and command the package's extras file lists, and nothing
#      of another user's;
#   4. the look's timer and service verified by systemd-analyze.
# Usage: tools/journal_test.sh [BUILD_DIR] (build/normal by default); the
# last line is "N passed, M failed". Without root, unshare, systemd-journald
# or sos it says why it did not run (tools/setup.sh installs what it needs).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/check.sh
. "$top/tools/lib/check.sh"
skip() { not_run journal "$@"; }
build=$(cd "${1:-$top/build/normal}" && pwd) || skip "no build directory ${1:-$top/build/normal}"
journald=/lib/systemd/systemd-journald
[ "$(id -u)" = 0 ] || skip "needs root"
[ -x "$journald" ] || skip "no $journald"
command -v sos > /dev/null || skip "no sos (apt-get install sosreport)"
command -v unshare > /dev/null || skip "no unshare"

if [ "${TALD_JOURNAL_INSIDE:-}" != 1 ]; then
    exec env TALD_JOURNAL_INSIDE=1 unshare -m "$0" "$build"
fi

# --- inside the namespace ---------------------------------------------------
mount --make-rprivate /
work=$(mktemp -d "${TMPDIR:-/tmp}/tald-journal-XXXXXX")
passed=0
failed=0
check() { # NAME CONDITION-STATUS
    if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "CHECK PASS $1"
    else failed=$((failed + 1)); echo "CHECK FAIL $1"; fi
}
mount -t tmpfs -o mode=0755 tmpfs /run
[ -d /var/log/journal ] && mount -t tmpfs -o mode=0755 tmpfs /var/log/journal
mkdir -p /run/systemd/journal /run/log/journal "$work/cache" "$work/extras" /etc/lvm/cache
mount --bind "$work/cache" /etc/lvm/cache
mkdir -p /etc/sos/extras.d && mount --bind "$work/extras" /etc/sos/extras.d
"$journald" > "$work/journald.log" 2>&1 &
jd=$!
trap 'kill $jd 2> /dev/null; wait 2> /dev/null; umount /etc/sos/extras.d /etc/lvm/cache 2> /dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -S /run/systemd/journal/socket ] && break; sleep 0.1; done
[ -S /run/systemd/journal/socket ] || { cat "$work/journald.log"; check "journald started" 1; exit 1; }

# 1. The entries of every kind of change.
state=$work/state
mkdir -m 0700 "$state"
ln -s /run/systemd/journal/socket "$state/journal.socket"
sim() {
    LD_PRELOAD=$build/tools/simarray/libsimarray.so \
    SIMARRAY_SCENARIO=$top/tools/simarray/scenarios/array8.scn SIMARRAY_STATE_DIR=$state \
        "$build/src/command/tald" "$@"
}
for dev in sdb sdj sdr sdz; do
    LD_PRELOAD=$build/tools/simarray/libsimarray.so \
    SIMARRAY_SCENARIO=$top/tools/simarray/scenarios/array8.scn SIMARRAY_STATE_DIR=$state \
        "$build/src/callout/mpath_prio_tald" /dev/$dev > /dev/null
done
wwid=$(sim --export | sed -n 's/.*"wwid": "\(.*\)".*/\1/p' | head -1)
printf '{"luns": [{"wwid": "%s", "ports": {"C1P1": 6}}]}\n' "$wwid" > "$work/doc.json"
: > "$work/printed"
run() { # COMMAND ARGS...: the changes it printed, as "COMMAND PORT DEV HCTL: A -> B"
    local kind=$1; shift
    local out; out=$(sim "$@" 2>&1)
    case $kind in
    set|reset) echo "$out" | sed -n 's/^\S* \/dev\/\(sd.\):\([0-9]\)(\(C.P.\), host port \([0-9]\)).*/\1 \3 \2/p' |
                 while read -r dev port prio; do echo "$kind $port $dev $prio"; done ;;
    *) echo "$out" | sed -n "s/^  \(C.P.\) \(\S*\) \(\S*\): \([0-9]\) -> \([0-9]\).*/$kind \1 \2 \3 \4 \5/p" ;;
    esac >> "$work/printed"
}
run set --prio --set /dev/sdb 8
run reset --prio --set /dev/sdb 0
run apply --apply "$work/doc.json"
run drain --drain C0
run restore --restore
sleep 1
journalctl --directory=/run/log/journal -o json TALD_COMMAND=set TALD_COMMAND=reset \
    TALD_COMMAND=apply TALD_COMMAND=drain TALD_COMMAND=restore > "$work/entries.json"
python3 - "$work/entries.json" "$work/printed" "$wwid" << 'PY'
import json, sys
ids = {"set": "0ce403e8940248dba4454d3455be3c7f", "reset": "5ef124f0c17a438aa8e5cdbadc157334",
       "apply": "6deb9c401ec24ceb9f793d37a20edb5c", "drain": "497da4bfb1114e13ae70c7fe116a7fa4",
       "restore": "ef79a2d40e644122944f89eead484627"}
entries = [json.loads(line) for line in open(sys.argv[1])]
printed = [line.split() for line in open(sys.argv[2])]
wwid = sys.argv[3]
bad = 0
def expect(what, got, want):
    global bad
    if got != want:
        print(f"  {what}: {got!r}, not {want!r}"); bad += 1
kinds = sorted({p[0] for p in printed})
expect("kinds printed", kinds, sorted(ids))
expect("entries", len(entries), len(printed))
for e, p in zip(entries, printed):
    kind, port = p[0], p[1]
    expect("command", e.get("TALD_COMMAND"), kind)
    expect("message id", e.get("MESSAGE_ID"), ids[kind])
    expect("wwid", e.get("TALD_WWID"), wwid)
    expect("port", e.get("TALD_PORT"), port)
    expect("controller", e.get("TALD_CONTROLLER"), port[:2])
    for f in ("TALD_ALIAS", "TALD_DEVICE", "TALD_SCSI", "TALD_PRIO_BEFORE", "TALD_PRIO_AFTER", "MESSAGE"):
        if not e.get(f) and f != "TALD_ALIAS": print("  no", f); bad += 1
    if kind in ("set", "reset"):
        expect("device", e.get("TALD_DEVICE"), "/dev/" + p[2])
        expect("after", e.get("TALD_PRIO_AFTER"), p[3])
    else:
        expect("device", e.get("TALD_DEVICE"), p[2])
        expect("scsi", e.get("TALD_SCSI"), p[3].rstrip(":"))
        expect("before", e.get("TALD_PRIO_BEFORE"), p[4])
        expect("after", e.get("TALD_PRIO_AFTER"), p[5])
    expect("transport", e.get("_TRANSPORT"), "journal")
    expect("identifier", e.get("SYSLOG_IDENTIFIER"), "tald")
print(f"  {len(entries)} entries of {', '.join(kinds)}")
sys.exit(1 if bad else 0)
PY
check "journalctl -o json: one entry per path changed by set, reset, apply, drain, restore, every field" $?

# 2. The catalog as journalctl reads it.
root=$work/root
mkdir -p "$root/usr/lib/systemd/catalog" "$root/var/lib/systemd/catalog"
cp "$top/systemd/quelvane-path-manager.catalog" "$root/usr/lib/systemd/catalog/"
journalctl --root="$root" --update-catalog > "$work/catalog.log" 2>&1
check "journalctl --update-catalog reads the catalog" $?
journalctl --root="$root" --list-catalog > "$work/catalog.list" 2>&1
ids=$(sed -n 's/^-- \([0-9a-f]\{32\}\)$/\1/p' "$top/systemd/quelvane-path-manager.catalog")
all=0
for id in $ids; do grep -q "^$id " "$work/catalog.list" || { echo "  $id not listed"; all=1; }; done
[ "$(echo "$ids" | wc -w)" = 9 ] || all=1
check "journalctl --list-catalog: the 9 message ids with their subjects" $all
journalctl --root="$root" --dump-catalog f59cf751e03b4f7998c3d6bba04dc167 2> /dev/null |
    grep -q "left its preferred path group"
check "journalctl --dump-catalog: the text of an id" $?

# 3. The support bundle.
cp "$state/tald.conf" /etc/lvm/cache/tald.conf
echo "another user's" > /etc/lvm/cache/notes.txt && chown nobody /etc/lvm/cache/notes.txt
mkdir -m 0700 /run/tald && echo "$wwid P" > /run/tald/look
sed "s|@TALD_SBINDIR@|$build/src/command|" "$top/systemd/quelvane-path-manager.sos.in" \
    > /etc/sos/extras.d/quelvane-path-manager
mkdir "$work/sos"
sos report --batch --build --quiet --tmp-dir "$work/sos" -o sos_extras > "$work/sos.log" 2>&1
check "sos report --batch -o sos_extras" $?
bundle=$(find "$work/sos" -maxdepth 1 -mindepth 1 -type d | head -1)
( cd "$bundle" && find . -type f | sort ) > "$work/bundle.list"
sed 's/^/  /' "$work/bundle.list"
want=0
for f in ./etc/lvm/cache/tald.conf ./run/tald/look; do
    grep -qx "$f" "$work/bundle.list" || { echo "  $f missing"; want=1; }
done
for c in "tald_-l_--json" "tald_--check" "tald_--export" "tald_--metrics" "journalctl_--no-pager"; do
    grep -q "sos_extras/.*$c" "$work/bundle.list" || { echo "  $c missing"; want=1; }
done
check "the bundle holds tald -l --json, --check, --export, --metrics, tald.conf, the look, the journal" $want
grep -q "notes.txt" "$work/bundle.list"
check "the bundle holds nothing of another user's" $((! $?))
journal_copy=$(find "$bundle/sos_commands/sos_extras" -name 'journalctl*' | head -1)
grep -q "TALD_WWID=$wwid" "$journal_copy" || head -5 "$journal_copy"
check "the bundle's journal holds the entries" $?

# 4. The look's timer and service as the package installs them, its program
# the tree's: `systemd-analyze verify` says nothing of them (a setting this
# systemd does not know, a timer whose unit is missing).
units=$work/units
mkdir -p "$units"
for unit in service timer; do
    sed "s|@TALD_SBINDIR@|$build/src/command|" "$top/systemd/tald-look.$unit.in" > "$units/tald-look.$unit"
done
out=$(cd "$units" && systemd-analyze verify --man=no tald-look.timer tald-look.service 2>&1)
[ -z "$out" ] || printf '%s\n' "$out"
check "systemd-analyze verify: the look's timer and service" $([ -z "$out" ]; echo $?)
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
