#!/usr/bin/env bash
# The main job on the simulated array (tools/simarray/scenarios/array8.scn:
# 8 LUNs, 4 paths each): the priority multipath would get for every path, one
# administrator override with tald, the callout's answer after it, a reset to
# the default, and the stored configuration as tald lists it, each result
# explained in a sentence. The state lives in a temporary directory; the
# machine's own /etc/lvm/cache is never touched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tools/setup.sh
echo "demo: building mpath_prio_tald, tald and the simulated array in build/normal"
. tools/simenv.sh tald-demo

echo "The array is simulated: tools/simarray answers the programs' SCSI commands as a Quelvane array"
echo "with 8 LUNs over 4 paths each would (tools/simarray/scenarios/array8.scn); no disk, no multipath"
echo "and not this machine's /etc/lvm/cache are used, and the state directory is removed at the end."
echo

# Path, SCSI lun and controller-port label of every node, ordered by LUN and
# port, read from the scenario.
paths() {
    awk '$1 == "node" { dev = $2 }
         $1 == "addr" { lun[dev] = $5 }
         $1 == "port" { print dev, lun[dev], "C" ($2 - 1) "P" ($3 - 1) }' "$scenario" |
        sort -k2,2n -k3,3
}

echo "== Priorities that multipath gets from mpath_prio_tald (state in $state)"
printf '%-10s %-5s %-4s %-12s %s\n' PATH PORT LUN ALIAS PRIORITY
best_dev='' best_port='' best_prio=-1
while read -r dev lun port; do
    prio=$(sim "$callout" "$dev")
    alias=$(sim "$tald" --alias --get "$dev" | cut -d' ' -f1)
    printf '%-10s %-5s %-4s %-12s %s\n' "$dev" "$port" "$lun" "$alias" "$prio"
    if [ "$lun" = 1 ] && [ "$prio" -gt "$best_prio" ]; then
        best_dev=$dev best_port=$port best_prio=$prio
    fi
done < <(paths)
echo "The higher number wins: multipath sends LUN 1's I/O over $best_dev ($best_port, priority $best_prio), its other paths wait for a failover."

echo
echo "== Override: tald --prio --set /dev/sdb 8"
sim "$tald" --prio --set /dev/sdb 8
echo "tald confirms with the LUN's wwid, the path and its new priority, then the array port the path"
echo "leads to (C0P0) and the SCSI host it leaves from (host port 2: the 2 of its address 2:0:0:1)."

echo
echo "== mpath_prio_tald /dev/sdb after the override"
sim "$callout" /dev/sdb
echo "8 beats $best_prio: multipath now prefers /dev/sdb (C0P0) for LUN 1 over $best_dev."

echo
echo "== tald -l"
sim "$tald" -l

echo "== Reset to the default: tald --prio --set /dev/sdb 0"
sim "$tald" --prio --set /dev/sdb 0
echo "0 removes the override: the same line, with the default priority that /dev/sdb has again."
echo "LUN 1 is back on $best_dev."
