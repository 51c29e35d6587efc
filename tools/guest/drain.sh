# Part of the guest's /init (init.sh sources it while multipathd runs, with
# its helpers): controller C0 drained and given back, as an admin does before
# servicing it. `tald --drain C0` makes LUN A and LUN B prefer C1 and
# `tald --restore` gives back the priorities that stood before, overrides
# included. Two overrides stand before the drain, both on LUN B: 7 on its C0
# path of the lowest default, so that B's active group is on C0 like A's (the
# drain puts it back to its default), and 6 on its C1 path of the lowest
# default, so that the drain's order follows the priorities before and not
# the defaults (that path gets 8, B's other C1 path 7).
F=/tmp/fleet
mkdir -p $F
wwid_b=$(awk -F '	' 'NR == 5 { print $3 }' $G/expected)
drained_file=/etc/lvm/cache/tald.drained
# json_table FILE: "WWID PORT SDX PRIO GROUPSTATE DAEMONPRIO" for every path of
# a JSON listing ("-" where the daemon gave nothing)
json_table() {
    awk '$1 == "\"wwid\":" { w = $2; gsub(/[",]/, "", w) }
         $1 == "\"port\":" { p = $2; gsub(/[",]/, "", p); g = "-"; m = "-" }
         $1 == "\"device\":" { d = $2; gsub(/[",]/, "", d); sub("/dev/", "", d) }
         /^          "priority":/ { s = $2 + 0 }
         /^            "priority":/ { m = $2 + 0 }
         $1 == "\"group_state\":" { g = $2; gsub(/[",]/, "", g) }
         /^        },?$/ { print w, p, d, s, g, m }' "$1"
}
# listing NAME: the JSON listing now, kept as $F/NAME.json, its table as $F/NAME
listing() {
    tald -l --json > $F/$1.json 2>&1
    json_table $F/$1.json > $F/$1
}
# active_of TABLE WWID: the ports of the LUN's active group ("C1P0,C1P1")
active_of() {
    awk -v w=$2 '$1 == w && $5 == "active" { printf "%s%s", s, $2; s = "," }' $1
}
# prios TABLE: "SDX PRIO" of every path of LUN A and B
prios() {
    awk -v a=$wwid_a -v b=$wwid_b '$1 == a || $1 == b { print $3, $4 }' $1 | sort
}
# drained_prios TABLE: "SDX PRIO" of every path as a drain of C0 leaves it: a
# LUN's C1 paths 8, 7, ... by their priorities before (equal ones alike), its
# C0 paths their defaults (the first probe's answers in $G/expected)
drained_prios() {
    while IFS='	' read -r p prio rest; do echo "$(sd_of $p) $prio"; done < $G/expected > $F/defaults
    awk -v a=$wwid_a -v b=$wwid_b 'FNR == 1 { f++ }
         f == 1 { def[$1] = $2; next }
         $1 != a && $1 != b { next }
         f == 2 { if ($2 ~ /^C1/) c1[$1 SUBSEP $4] = 1; next }
         $2 ~ /^C0/ { print $3, def[$3]; next }
         { above = 0
           for (k in c1) { split(k, x, SUBSEP); if (x[1] == $1 && x[2] + 0 > $4 + 0) above++ }
           print $3, 8 - above }' $F/defaults $1 $1 | sort
}
# stored_are TITLE WANT TABLE: every path's stored priority as WANT says
stored_are() {
    prios $3 > $F/got
    while read -r sd prio; do
        expect "$1: stored priority of /dev/$sd" "$sd $prio" "$(grep "^$sd " $F/got)"
    done < $2
}
# daemon_takes TITLE WANT: multipathd's priority of every path as WANT says
daemon_takes() {
    paths_state > $F/state
    while read -r sd prio; do
        expect "$1: multipathd priority of /dev/$sd" "$sd $prio ready" "$(grep "^$sd " $F/state)"
    done < $2
}
# exported NAME: `tald --export` now, kept as $F/export.NAME, shown
exported() {
    w0=$(cut -d ' ' -f 1 /proc/uptime)
    tald --export > $F/export.$1 2> $F/export.err
    st=$?
    echo "--- tald --export, $1 (status $st, $(awk -v t=$w0 '{ printf "%.2f", $1 - t }' /proc/uptime) s)"
    cat $F/export.$1 $F/export.err
    expect "tald --export, $1: exit status" 0 $st
}
# The maps of A and B mark a group active only once I/O went through it, so
# reads go on through both while tald waits for the daemon. with_reads
# TITLE STATUS PATTERN TALD-ARGS...: waited with reads in the background.
with_reads() {
    maps="$(ls /sys/block/$high/holders) $(ls /sys/block/$bc0/holders)"
    (n=0
     while :; do
         for dm in $maps; do
             dd if=/dev/$dm of=/dev/null bs=4096 count=1 skip=$((n % 256)) iflag=direct 2>/dev/null
         done
         n=$((n + 1))
         sleep 0.2
     done) &
    rd=$!
    waited "$@"
    kill $rd
    wait $rd 2>/dev/null
}
# after_wait NAME: the active groups that the listing names right after
# tald's wait, shown (none where the daemon reloaded a map and no I/O went
# through it since, which the wait takes as following); then one read
# through each map, and the listing kept as NAME
after_wait() {
    listing $1.now
    ga=$(active_of $F/$1.now $wwid_a) gb=$(active_of $F/$1.now $wwid_b)
    echo "--- active groups right after the wait: LUN A ${ga:-none}, LUN B ${gb:-none}"
    read_through $high
    read_through $bc0
    listing $1
}

# --- Before: the overrides, both LUNs' active groups on C0.
listing start
bc0=$(awk -v w=$wwid_b '$1 == w && $2 ~ /^C0/' $F/start | sort -k4,4n | awk '{ print $3; exit }')
bc1=$(awk -v w=$wwid_b '$1 == w && $2 ~ /^C1/' $F/start | sort -k4,4n | awk '{ print $3; exit }')
waited "before the drain: tald --prio --set /dev/$bc0 7 --wait" 0 \
    "multipathd: $bc0 priority 7, ready, path group *" --prio --set /dev/$bc0 7 --wait 20
waited "before the drain: tald --prio --set /dev/$bc1 6 --wait" 0 \
    "multipathd: $bc1 priority 6, ready, path group *" --prio --set /dev/$bc1 6 --wait 20
group_becomes "before the drain: LUN A's active group is the one of /dev/$high" $high active
group_becomes "before the drain: LUN B's active group is the one of /dev/$bc0" $bc0 active
listing before
exported before
expect "tald --export before the drain: LUNs" 2 "$(grep -c '"wwid":' $F/export.before)"
expect "tald --export before the drain: overrides" 2 "$(grep -c '"override": true' $F/export.before)"
cp /etc/lvm/cache/tald.conf $F/conf.before
prios $F/before > $F/want.restored
drained_prios $F/before > $F/want.drained

# --- The drain.
with_reads "tald --drain C0 --wait 60" 0 \
    "multipathd: active path groups of 2 LUNs on C1 after * s" --drain C0 --wait 60
changed=$(awk 'NR == FNR { p[$1] = $2; next } p[$1] != $2' $F/want.restored $F/want.drained | wc -l)
expect "tald --drain C0: its summary" \
    "C0 drained: $changed paths of 2 LUNs; the priorities before are kept in $drained_file" \
    "$(grep '^C0 drained:' /tmp/waited)"
expect "after the drain: $drained_file, root's" "640 0 0" "$(stat -c '%a %u %g' $drained_file 2>&1)"
after_wait drained
for w in $wwid_a $wwid_b; do
    want=$(awk -v w=$w 'NR == FNR { p[$1] = $2; next } $1 == w && p[$3] == 8 { printf "%s%s", s, $2; s = "," }' \
        $F/want.drained $F/before)
    expect "after the drain: the active group of $w, on C1 (its path of 8)" "$want" "$(active_of $F/drained $w)"
done
stored_are "after the drain" $F/want.drained $F/drained
daemon_takes "after the drain" $F/want.drained
exported drained
expect "tald --export after the drain: overrides (the C1 paths)" 4 "$(grep -c '"override": true' $F/export.drained)"
waited "a second tald --drain C0" 1 "C0 is drained already: tald --restore gives it back first" --drain C0
tald --export > $F/export.refused 2>&1
expect "a second tald --drain C0: the export unchanged" same \
    "$(cmp -s $F/export.drained $F/export.refused && echo same || echo differs)"

# --- The restore: the priorities, the active groups and the file's
# overrides as they were. The preference file is compared byte for byte too:
# the plugin writes it again at the daemon's path checks, but with the same
# lines while no path changes its name or address, which none does here.
with_reads "tald --restore --wait 60" 0 \
    "multipathd: active path groups of 2 LUNs back on their preferred paths after * s" --restore --wait 60
expect "tald --restore: its summary" "C0 restored: $changed paths of 2 LUNs" "$(grep '^C0 restored:' /tmp/waited)"
expect "after the restore: $drained_file" gone "$([ -e $drained_file ] && echo there || echo gone)"
after_wait restored
for w in $wwid_a $wwid_b; do
    expect "after the restore: the active group of $w as before the drain" \
        "$(active_of $F/before $w)" "$(active_of $F/restored $w)"
done
stored_are "after the restore" $F/want.restored $F/restored
daemon_takes "after the restore" $F/want.restored
exported restored
expect "tald --export after the restore: as before the drain" same \
    "$(cmp -s $F/export.before $F/export.restored && echo same || diff $F/export.before $F/export.restored)"
expect "after the restore: tald.conf as before the drain" same \
    "$(cmp -s $F/conf.before /etc/lvm/cache/tald.conf && echo same || diff $F/conf.before /etc/lvm/cache/tald.conf)"
expect "after the restore: the override on /dev/$bc0" 7 "$(tald --prio --get /dev/$bc0 2>&1)"
expect "after the restore: the override on /dev/$bc1" 6 "$(tald --prio --get /dev/$bc1 2>&1)"
waited "a second tald --restore" 1 \
    "no controller is drained ($drained_file: No such file or directory)" --restore

# Back to the defaults for the checks after this.
tald --prio --set /dev/$bc0 0 > /dev/null 2>&1
tald --prio --set /dev/$bc1 0 > /dev/null 2>&1
settle
