#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks' functions run through check
# The example play examples/fleet.yml under Debian's ansible-playbook, run on
# this machine (-i localhost, -c local, without become) against the simulated
# array (tools/simarray/scenarios/array8.scn, every path probed). The play's
# tald is a wrapper that runs tald under the simulator, with multipathd
# played by the tests' scripted libmpathcmd.so.0: refusing every connection
# (no daemon), or, for one check, a daemon that holds vol_db01 and never
# moves its I/O. Checks the apply of examples/fleet-preferences.json in
# check mode, check and diff mode, then for real twice; with --prune and
# --strict asked for; the export in check mode and for real; the drain
# and restore without waiting, each twice; a drain whose LUN does not move
# within its wait, and a restore that cannot reach multipathd; a drain that
# leaves a LUN without a path through the other controller.
# The state lives in a temporary directory; the machine's /etc/lvm/cache is
# never touched. The last line is "N passed, M failed".
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
# shellcheck source=tools/lib/check.sh
. tools/lib/check.sh
command -v ansible-playbook >/dev/null || not_run fleet "no ansible-playbook (tools/setup.sh installs it)"
# shellcheck source=tools/simenv.sh
. tools/simenv.sh tald-fleet
cmake --build "$top/$build" --target fake_mpathcmd >/dev/null || exit 1
work=$state/work
mkdir -p "$work/tmp" "$work/ansible" "$state/none" "$state/held"
touch "$state/none/refuse" "$work/ansible.cfg"

# wrapper NAME DAEMON: a tald on the simulated array with multipathd
# scripted by the directory DAEMON.
wrapper() {
    cat >"$work/$1" <<EOF
#!/bin/sh
exec env LD_PRELOAD="$top/$build/tools/simarray/libsimarray.so" SIMARRAY_SCENARIO="$scenario" \\
    SIMARRAY_STATE_DIR="$state" LD_LIBRARY_PATH="$top/$build/tests/fake_mpathcmd" FAKE_MPATHD_DIR="$2" \\
    "$tald" "\$@"
EOF
    chmod 755 "$work/$1"
}
wrapper tald "$state/none"
wrapper tald-held "$state/held"

# Ansible with nothing of this machine's configuration, its files in the
# test's directory (the export's temporary file on the host too).
export ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp \
    ANSIBLE_REMOTE_TEMP=$work/ansible/remote ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
    ANSIBLE_STDOUT_CALLBACK=default TMPDIR=$work/tmp

# play LOG ARG...: the example play on this machine, its output in LOG.
play() {
    local log=$work/$1
    shift
    ansible-playbook -i localhost, -c local -e ansible_become=false -e ansible_python_interpreter=auto_silent \
        -e tald="$work/tald" -e fleet_preferences="$top/examples/fleet-preferences.json" \
        examples/fleet.yml "$@" >"$log" 2>&1
    echo "ansible-playbook $*: status $?" >>"$log"
}

# recap LOG WORD...: the play's recap line for localhost holds each word
# (changed=1, failed=0...); the log when it does not.
recap() {
    local log=$work/$1 line word
    shift
    line=$(grep -E '^localhost +:' "$log")
    for word in "$@"; do
        [[ " $line " == *" $word "* ]] || { echo "not $word:"; cat "$log"; return 1; }
    done
}

# has LOG PATTERN...: each extended regular expression matches a line of LOG.
has() {
    local log=$work/$1 pattern
    shift
    for pattern in "$@"; do
        grep -Eq -- "$pattern" "$log" || { echo "no line matches: $pattern"; cat "$log"; return 1; }
    done
}

same_file() {
    cmp "$state/tald.conf" "$work/conf.before" || { echo "tald.conf changed"; return 1; }
}

dry_run() {
    cp "$state/tald.conf" "$work/conf.before" || return
    play check.log --check && recap check.log changed=1 failed=0 && same_file || return
    ! grep -q ' -> ' "$work/check.log" || { echo "path lines without --diff"; cat "$work/check.log"; return 1; }
}

dry_run_diff() {
    play diff.log --check --diff && recap diff.log changed=1 failed=0 && same_file || return
    has diff.log '"  C0P0 /dev/sdb 2:0:0:1: 1 -> 8"' '"  C1P1 /dev/sdaa 3:0:1:2: 2 -> 7"' \
        '"would change: 3 paths of 2 LUNs"'
}

apply_twice() {
    play apply1.log && recap apply1.log changed=1 failed=0 || return
    has apply1.log '^changed: \[localhost\]' || return
    "$work/tald" -l | grep -q '\[priority=8\] \[/dev/sdb\]$' || { echo "sdb not at 8"; return 1; }
    play apply2.log && recap apply2.log ok=1 changed=0 failed=0
}

# After the apply: a document that names vol_db03 and a LUN this host lacks.
prune_strict() {
    local doc=$work/db03.json
    printf '%s\n' '{"luns": [{"alias": "vol_db03", "ports": "default"},' \
        '{"alias": "vol_web09", "preferred_port": "C0P0"}]}' >"$doc"
    cp "$state/tald.conf" "$work/conf.before" || return
    play prune.log --check --diff -e fleet_prune=true -e fleet_preferences="$doc" &&
        recap prune.log changed=1 failed=0 || return
    has prune.log '"  C0P0 /dev/sdb 2:0:0:1: 8 -> 1 \(default\)"' '"not on this host: luns\[1\] \(vol_web09\)"' || return
    play strict.log --check -e fleet_strict=true -e fleet_preferences="$doc" && recap strict.log failed=1 || return
    has strict.log 'luns\[1\] \(vol_web09\): not on this host' && same_file
}

exported() {
    play export-check.log --tags export --check -e fleet_preferences="$work/exported.json" &&
        recap export-check.log changed=0 failed=0 || return
    [ ! -e "$work/exported.json" ] || { echo "--check saved the export"; return 1; }
    play export.log --tags export -e fleet_preferences="$work/exported.json" &&
        recap export.log changed=1 failed=0 || return
    "$work/tald" --export >"$work/export.stdout" && cmp "$work/exported.json" "$work/export.stdout" || return
    [ -z "$(ls -A "$work/tmp")" ] || { echo "left on the host:" "$work"/tmp/*; return 1; }
}

drain_restore() {
    "$work/tald" --export >"$work/before.json" || return
    play drain1.log --tags drain -e fleet_wait=0 && recap drain1.log changed=1 failed=0 || return
    has drain1.log '"C0 drained: [0-9]+ paths of [0-9]+ LUNs; ' && [ -f "$state/tald.drained" ] || return
    play drain2.log --tags drain -e fleet_wait=0 && recap drain2.log failed=1 || return
    has drain2.log 'C0 is drained already' || return
    play restore1.log --tags restore -e fleet_wait=0 && recap restore1.log changed=1 failed=0 || return
    "$work/tald" --export | cmp - "$work/before.json" && [ ! -e "$state/tald.drained" ] || return
    play restore2.log --tags restore -e fleet_wait=0 && recap restore2.log changed=0 failed=0
}

# multipathd holds vol_db01's four paths at their priorities before the
# drain, its I/O on sdb (C0P0), and never takes the drain up.
held_daemon() {
    {
        echo "dev|dev_t|hcil|uuid|pri|chk_st|dm_st|multipath"
        "$work/tald" -l | awk '
            /^[^\\]/ { lun = ($1 == "vol_db01"); wwid = $2; gsub(/[()]/, "", wwid); next }
            lun && /^\\_ / {
                addr = $3; gsub(/[][]/, "", addr)
                prio = $4; gsub(/[^0-9]/, "", prio)
                dev = $5; gsub(/[][]/, "", dev); sub("^/dev/", "", dev)
                print dev "|8:0|" addr "|" wwid "|" prio "|ready|active|mpatha"
            }'
    } >"$state/held/paths.0"
    printf '%s\n' '{"maps": [{"name": "mpatha", "path_groups": [' \
        '{"dm_st": "active", "paths": [{"dev": "sdb"}]},' \
        '{"dm_st": "enabled", "paths": [{"dev": "sdr"}, {"dev": "sdj"}, {"dev": "sdz"}]}]}]}' \
        >"$state/held/maps.json"
}

# Status 2 and 3 fail the task, and the output says why.
not_moved() {
    held_daemon || return
    play held.log --tags drain -e fleet_wait=1 -e tald="$work/tald-held" && recap held.log failed=1 || return
    has held.log 'not moved: vol_db01 360001c7a550d00000000000000000001 \(' \
        'multipathd: 1 of 1 LUNs? not moved after 1 s' || return
    play unreached.log --tags restore && recap unreached.log failed=1 || return
    has unreached.log 'multipathd: not reached' && [ ! -e "$state/tald.drained" ]
}

# A stored LUN whose paths through C1 hold no priority (a copy of vol_db01
# under another wwid and alias): the drain fails the task, naming it, and
# keeps what it changed for the restore.
stranded() {
    cp "$state/tald.conf" "$work/conf.before" || return
    "$work/tald" --export >"$work/before.json" || return
    awk -F, -v OFS=, 'NR == 1 {
        $1 = substr($1, 1, length($1) - 1) "f"; $NF = "vol_lost"
        for (k = 2; k < 16; k += 4) { $(4 + 3 * k) = 0; $(7 + 3 * k) = 0 }
        print }' "$state/tald.conf" >>"$state/tald.conf" || return
    play stranded.log --tags drain -e fleet_wait=0 && recap stranded.log failed=1 || return
    has stranded.log 'no path through C1: vol_lost [0-9a-f]+f keeps its priorities' \
        'C0 drained in part: 1 LUN without a path through C1 stays on C0, which must stay up' || return
    [ -f "$state/tald.drained" ] || { echo "the drain kept nothing"; return 1; }
    play stranded-restore.log --tags restore -e fleet_wait=0 && recap stranded-restore.log changed=1 failed=0 || return
    grep -v ',vol_lost$' "$state/tald.conf" >"$work/conf.restored" && mv "$work/conf.restored" "$state/tald.conf"
    "$work/tald" --export | cmp - "$work/before.json"
}

while read -r dev _; do
    sim "$callout" "$dev" >/dev/null
done < <(awk '$1 == "node" { print $2 }' "$scenario")
check "apply --check: run with --dry-run, the would-be change counted (changed=1), tald.conf's bytes unchanged" dry_run
check "apply --check --diff: each path that would change shown, tald.conf's bytes unchanged" dry_run_diff
check "apply: changed=1, sdb at 8; again: changed=0" apply_twice
check "apply with fleet_prune (the other LUNs back to their defaults) and fleet_strict (a LUN not here refused)" \
    prune_strict
check "export of one host: none with --check; the controller's file equals tald --export, nothing left on the host" \
    exported
check "drain without wait: changed, then refused; restore: changed, the export as before, then ok" drain_restore
check "drain whose LUN does not move within its wait, restore without multipathd: failed, the output shown" \
    not_moved
check "drain that leaves a LUN without a path through C1: failed, the LUN named; restore: changed" stranded
finish
