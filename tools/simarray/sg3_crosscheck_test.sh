#!/usr/bin/env bash
# Cross-checks the simulated array against sg3_utils, an independent decoder
# of the same pages and replies, and tests the library's own behaviour:
# log lines, the state-directory redirect, the fail directives and the
# refusal of bad scenarios.
#
# Usage: sg3_crosscheck_test.sh LIBSIMARRAY SCENARIO_DIR
set -uo pipefail

lib=$1
scenarios=$2
for tool in sg_vpd sg_raw sg_inq; do
    command -v "$tool" >/dev/null || { echo "missing $tool (tools/setup.sh installs sg3-utils)"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
state=$work/state
mkdir "$state"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs a command under the simulator with SCENARIO; output in $out, status in $rc.
sim() {
    local scenario=$1
    shift
    out=$(env LD_PRELOAD="$lib" SIMARRAY_SCENARIO="$scenario" SIMARRAY_STATE_DIR="$state" \
        SIMARRAY_LOG="$work/log" "$@" 2>&1)
    rc=$?
}

expect_rc() {  # NAME WANTED
    [ "$rc" -eq "$2" ] || fail "$1: exit status $rc, wanted $2; output:"$'\n'"$out"
}

expect_out() {  # NAME FIXED-TEXT
    grep -qF -- "$2" <<<"$out" || fail "$1: no '$2' in output:"$'\n'"$out"
}

expect_no_out() {  # NAME FIXED-TEXT
    if grep -qF -- "$2" <<<"$out"; then fail "$1: unexpected '$2' in output:"$'\n'"$out"; fi
}

array8=$scenarios/array8.scn

# --- sg3_utils decode what the scenario describes --------------------------

# Device identification: designator and alias of three LUNs of array8, the
# inner and trailing blanks of aliases kept as sent.
while read -r dev naa alias; do
    sim "$array8" sg_vpd --page=di "$dev"
    expect_rc "sg_vpd di $dev" 0
    expect_out "sg_vpd di $dev" "designator type: NAA,  code set: Binary"
    expect_out "sg_vpd di $dev" "0x$naa"
    expect_out "sg_vpd di $dev" "vendor specific: ${alias//'~'/ }"
done <<'EOF'
/dev/sdb 60001c7a550d00000000000000000001 vol_db01
/dev/sdl 60021c7a550d00000000000000000003 vol~db03
/dev/sdag 60071c7a550d00000000000000000008 vol_db08
EOF
sim "$array8" sg_vpd --page=di /dev/sde
expect_out "trailing blanks of an alias" "vendor specific: vol_log04   "$'\n'

sim "$array8" sg_vpd --page=sv /dev/sdb
expect_rc "sg_vpd sv" 0
expect_out "sg_vpd sv" "Supported VPD pages [sv]"
expect_out "sg_vpd sv" "Device identification [di]"

# READ BUFFER id 0x40 of each controller port, and a raw reply.
while read -r dev bytes; do
    sim "$array8" sg_raw -r 8 "$dev" 3c 02 40 00 00 00 00 00 08 00
    expect_rc "sg_raw $dev" 0
    expect_out "sg_raw $dev" "Received 8 bytes of data"
    expect_out "sg_raw $dev" " 00     $bytes "
done <<'EOF'
/dev/sdb 00 00 00 00 01 01 f1 00
/dev/sdr 00 00 00 00 02 01 f1 00
/dev/sdj 00 00 00 00 01 02 00 f1
/dev/sdaa 00 00 00 00 02 02 00 f1
EOF

sim "$array8" sg_inq /dev/sdc
expect_rc "sg_inq" 0
expect_out "sg_inq" "Peripheral device type: disk"
expect_out "sg_inq" "Vendor identification: QUELVANE"
expect_out "sg_inq" "Product identification: SIMULATED ARRAY"

# Raw page and reply, faults and unsupported commands.
cat >"$work/raw.scn" <<'EOF'
node /dev/sdb
page83 00 83 00 14  01 02 00 08 11 22 33 44 55 66 77 88  02 00 00 04 41 20 42 20  # EUI-64 + "A B "
reply 00 00 00 00 02 02 00 f1 ff ff       # 10 bytes, cut to 8 by the CDB

node /dev/sdc
designator 3 61 23 45 67 89 ab cd ef
alias "x"
port 1 2
fault inquiry check
fault readbuffer check
EOF
sim "$work/raw.scn" sg_vpd --page=di /dev/sdb
expect_rc "raw page83" 0
expect_out "raw page83" "designator type: EUI-64 based,  code set: Binary"
expect_out "raw page83" "0x1122334455667788"
expect_out "raw page83" "vendor specific: A B "
sim "$work/raw.scn" sg_raw -r 8 /dev/sdb 3c 02 40 00 00 00 00 00 08 00
expect_out "raw reply" " 00     00 00 00 00 02 02 00 f1 "

sim "$work/raw.scn" sg_vpd --page=di /dev/sdc
[ "$rc" -ne 0 ] || fail "fault inquiry check: sg_vpd succeeded:"$'\n'"$out"
expect_out "fault inquiry check" "Illegal request"
sim "$work/raw.scn" sg_inq /dev/sdc
expect_rc "standard inquiry under fault inquiry check" 0

while IFS='|' read -r name cdb sense; do
    # shellcheck disable=SC2086  # the CDB is a list of words
    sim "$work/raw.scn" sg_raw -r 8 /dev/sdc $cdb
    [ "$rc" -ne 0 ] || fail "$name: sg_raw succeeded:"$'\n'"$out"
    expect_out "$name" "SCSI Status: Check Condition"
    expect_out "$name" "Sense key: Illegal Request"
    expect_out "$name" "Additional sense: $sense"
done <<'EOF'
readbuffer check|3c 02 40 00 00 00 00 00 08 00|Invalid field in cdb
read capacity|25 00 00 00 00 00 00 00 00 00|Invalid command operation code
EOF
sim "$work/raw.scn" sg_raw -r 8 /dev/sdb 3c 02 41 00 00 00 00 00 08 00
expect_out "other buffer id" "Additional sense: Invalid field in cdb"

# --- the log -------------------------------------------------------------
: >"$work/log"
sim "$array8" sg_raw -r 8 /dev/sdj 3c 02 40 00 00 00 00 00 08 00
sim "$array8" sg_raw -r 8 /dev/sdb 12 01 83 00 ff 00
want="open /dev/sdj flags=0x802
sgio /dev/sdj len=10 cdb=3c 02 40 00 00 00 00 00 08 00 dxfer=8
close /dev/sdj
open /dev/sdb flags=0x802
sgio /dev/sdb len=6 cdb=12 01 83 00 ff 00 dxfer=8
close /dev/sdb"
[ "$(cat "$work/log")" = "$want" ] || fail "log lines:"$'\n'"$(cat "$work/log")"$'\n'"wanted:"$'\n'"$want"

# Many processes at once: every line whole, none lost.
: >"$work/log"
for i in $(seq 1 16); do
    env LD_PRELOAD="$lib" SIMARRAY_SCENARIO="$array8" SIMARRAY_LOG="$work/log" \
        sg_raw -r 8 /dev/sdc 3c 02 40 00 00 00 00 00 08 00 >/dev/null 2>&1 &
done
wait
lines=$(wc -l <"$work/log")
good=$(grep -cxE 'open /dev/sdc flags=0x802|close /dev/sdc|sgio /dev/sdc len=10 cdb=3c 02 40 00 00 00 00 00 08 00 dxfer=8' "$work/log")
[ "$lines" -eq 48 ] && [ "$good" -eq 48 ] || fail "concurrent log: $lines lines, $good well formed, wanted 48"

# --- node faults through sg3_utils ----------------------------------------
cat >"$work/faults.scn" <<'EOF'
node /dev/sdb
fault open EACCES
node /dev/sdc
fault sgio EIO
EOF
: >"$work/log"
sim "$work/faults.scn" sg_inq /dev/sdb
[ "$rc" -ne 0 ] || fail "fault open: sg_inq succeeded"
expect_out "fault open" "Permission denied"
grep -qx "open /dev/sdb flags=0x800" "$work/log" || fail "fault open: no open line in log"
sim "$work/faults.scn" sg_inq /dev/sdc
[ "$rc" -ne 0 ] || fail "fault sgio: sg_inq succeeded"
grep -q "^sgio /dev/sdc len=6 cdb=12 00 00 00 " "$work/log" || fail "fault sgio: no sgio line in log"
sim "$work/faults.scn" sg_inq /dev/sdd
[ "$rc" -ne 0 ] || fail "unknown node: sg_inq succeeded"
expect_out "unknown node is not simulated" "No such file or directory"

# --- the state-directory redirect and the fail directives -----------------
real_before=$(ls -la /etc/lvm/cache 2>&1)
echo "stored" >"$state/tald.conf"
sim "$array8" cat /etc/lvm/cache/tald.conf
[ "$out" = "stored" ] || fail "redirect read: '$out'"
sim "$array8" sh -c 'echo new >/etc/lvm/cache/tald.lock && mv /etc/lvm/cache/tald.lock /etc/lvm/cache/moved'
expect_rc "redirect write and rename" 0
[ "$(cat "$state/moved" 2>/dev/null)" = "new" ] || fail "redirect rename: no $state/moved"
sim "$array8" rm /etc/lvm/cache/moved
[ ! -e "$state/moved" ] || fail "redirect unlink: $state/moved still there"
sim "$array8" test -f /etc/lvm/cache/tald.conf
expect_rc "redirect stat" 0
sim "$array8" test -d /etc/lvm/cache
expect_rc "redirect of the directory itself" 0
sim "$array8" test -e /etc/lvm/cachex
[ "$rc" -ne 0 ] || fail "/etc/lvm/cachex was redirected"
out=$(env LD_PRELOAD="$lib" SIMARRAY_SCENARIO="$array8" cat /etc/lvm/cache/tald.conf 2>&1)
rc=$?
[ "$rc" -ne 0 ] || fail "no state dir: the real /etc/lvm/cache was read"
expect_out "no state dir" "SIMARRAY_STATE_DIR is not set"
expect_out "no state dir" "Permission denied"
[ "$(ls -la /etc/lvm/cache 2>&1)" = "$real_before" ] || fail "the real /etc/lvm/cache changed"

cat >"$work/fail.scn" <<EOF
fail open /etc/lvm/cache/tald.lock EROFS
node /dev/sdb
fail write $work/full ENOSPC   # inside a node block, without ending it
fail rename $work/from EACCES
addr 1 2 3 4
EOF
sim "$work/fail.scn" sh -c ': >/etc/lvm/cache/tald.lock'
[ "$rc" -ne 0 ] || fail "fail open: succeeded"
expect_out "fail open" "Read-only file system"
[ ! -e "$state/tald.lock" ] || fail "fail open: file created"
sim "$work/fail.scn" sh -c "echo data >'$work/full'"
[ "$rc" -ne 0 ] || fail "fail write: sh succeeded"
[ ! -s "$work/full" ] || fail "fail write: data reached the file"
sim "$work/fail.scn" sh -c "echo data >'$work/other'"
expect_rc "write to another file" 0
sim "$work/fail.scn" dd if=/dev/zero of="$work/full" bs=16 count=1
[ "$rc" -ne 0 ] || fail "fail write: dd succeeded"
expect_out "fail write: dd" "No space left on device"
touch "$work/from"
sim "$work/fail.scn" mv -T "$work/from" "$work/to"
[ -e "$work/from" ] && [ ! -e "$work/to" ] || fail "fail rename: the file moved"
expect_out "fail rename" "Permission denied"

# --- bad scenarios stop the process with 70 -------------------------------
n=0
while IFS='|' read -r text line message; do
    n=$((n + 1))
    printf "$text\n" >"$work/bad$n.scn"
    sim "$work/bad$n.scn" /bin/true
    expect_rc "bad scenario $n" 70
    expect_out "bad scenario $n" "simarray: $work/bad$n.scn:$line: $message"
done <<'EOF'
bogus|1|unknown directive 'bogus'
addr 1 2 3 4|1|no node before 'addr'
node /dev/sdb\naddr 1 2 3|2|missing 'lun'
node /dev/sdb\naddr 1 2 3 256|2|lun out of range 0..255: '256'
node /dev/sdb\naddr 1 2 3 4 5|2|unexpected text: '5'
node /dev/sdb\n\n# c\ndesignator 3 6 1|4|bad hex byte at '6 1'
node /dev/sdb\ndesignator 16 00|2|designator type out of range 0..15: '16'
node /dev/sdb\nalias "abc|2|unterminated quoted text
node /dev/sdb\nalias "a\\qb"|2|bad escape '\q'
node /dev/sdb\nalias "ab" c|2|unexpected text after the quote: 'c'
node /dev/sdb\nfault open EFOO|2|unknown errno 'EFOO'
node /dev/sdb\nfault inquiry EIO|2|expected 'check' after fault 'inquiry'
node /dev/sdb\nport 1 1\nreply 00|3|reply cannot be combined with port
node /dev/sdb\nalias "a"\npage83 00|3|page83 cannot be combined with designator or alias
node /dev/sdb\nnode /dev/sdb|2|duplicate node '/dev/sdb'
fail open /x|1|missing errno
fail delete /x EIO|1|unknown fail operation (open, write, rename): 'delete'
EOF
sim "$work/none.scn" /bin/true
expect_rc "missing scenario file" 70
expect_out "missing scenario file" "simarray: $work/none.scn: cannot open: No such file or directory"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
