#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks' functions run through check
# The metrics with Debian's Prometheus tools. On the simulated array
# (tools/simarray/scenarios/array8.scn, every path probed, one override),
# with multipathd played by the tests' scripted libmpathcmd.so.0 (a daemon
# that holds every stored path, one LUN's I/O on its other controller,
# another LUN's override not taken up): `promtool check metrics` on what
# `tald --metrics` prints with that daemon, without one, and with a file
# that cannot be read; `promtool check rules` and `promtool test rules` on
# the shipped alerting rules; then a real node_exporter on 127.0.0.1 (a free
# port, its textfile directory a temporary one, no root needed) publishes
# what `tald --metrics FILE` wrote there, scraped with curl, and is stopped;
# and the service's unit, confined, with systemd-analyze.
# The state lives in a temporary directory; the machine's /etc/lvm/cache is
# never touched. The last line is "N passed, M failed".
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
# shellcheck source=tools/lib/check.sh
. tools/lib/check.sh
for tool in promtool prometheus-node-exporter curl; do
    command -v "$tool" >/dev/null || not_run metrics "no $tool (tools/setup.sh installs it)"
done
# shellcheck source=tools/simenv.sh
. tools/simenv.sh tald-metrics
exporter_pid=
trap '[ -z "$exporter_pid" ] || { kill "$exporter_pid"; wait "$exporter_pid"; } 2>/dev/null; rm -rf "$state"' EXIT
cmake --build "$top/$build" --target fake_mpathcmd >/dev/null || exit 1
fake_lib=$top/$build/tests/fake_mpathcmd
daemon=$state/daemon
work=$state/work
mkdir -p "$daemon" "$work"

# metrics FILE [ENV...]: `tald --metrics` under the simulated array into FILE.
metrics() {
    local file=$1
    shift
    sim env "$@" "$tald" --metrics >"$file" || { echo "tald --metrics: status $?"; return 1; }
}

# promtool_clean FILE: promtool finds nothing to say about the metrics.
promtool_clean() {
    local out
    out=$(promtool check metrics <"$1" 2>&1) || { printf '%s\n' "$out"; return 1; }
    [ -z "$out" ] || { printf '%s\n' "$out"; return 1; }
}

# has FILE PATTERN...: each extended regular expression matches a line.
has() {
    local file=$1 pattern
    shift
    for pattern in "$@"; do
        grep -Eq "$pattern" "$file" || { echo "no line matches: $pattern"; cat "$file"; return 1; }
    done
}

# The daemon's view of the stored paths: each LUN a map, its paths of the
# highest priority the active group, the others an enabled one; but the I/O
# of vol_db02 on its other group, and sdb (vol_db01's override of 8) still at
# 2 in the daemon.
script_daemon() {
    sim "$tald" -l | awk -v OFS='|' '
        /^[^\\].* \(.*\)$/ {
            wwid = $NF; gsub(/[()]/, "", wwid)
            alias = $0; sub(/ \([^(]*\)$/, "", alias)
            map = (alias == "vol_db02" ? "flipped" : "mpath") (++n)
            next
        }
        /^\\_ / {
            addr = $3; gsub(/[][]/, "", addr)
            prio = $4; gsub(/[^0-9]/, "", prio)
            dev = $5; gsub(/[][]/, "", dev); sub("^/dev/", "", dev)
            print dev, "8:0", addr, wwid, (dev == "sdb" ? 2 : prio), "ready", "active", map, prio
        }' >"$work/stored" || return
    { echo "dev|dev_t|hcil|uuid|pri|chk_st|dm_st|multipath"; cut -d'|' -f1-8 "$work/stored"; } >"$daemon/paths.0"
    awk -F'|' '
        { map[NR] = $8; dev[NR] = $1; prio[NR] = $9; if ($9 > top[$8]) top[$8] = $9 }
        END {
            printf "{\"maps\": ["
            for (i = 1; i <= NR; i++) {
                if (map[i] == last) continue
                last = map[i]
                printf "%s{\"name\": \"%s\", \"path_groups\": [", (i > 1 ? ", " : ""), last
                for (g = 0; g < 2; g++) {
                    active = (g == 0) != (last ~ /^flipped/)
                    printf "%s{\"dm_st\": \"%s\", \"paths\": [", (g ? ", " : ""), active ? "active" : "enabled"
                    sep = ""
                    for (j = 1; j <= NR; j++) {
                        if (map[j] != last || (prio[j] == top[last]) != (g == 0)) continue
                        printf "%s{\"dev\": \"%s\"}", sep, dev[j]
                        sep = ", "
                    }
                    printf "]}"
                }
                printf "]}"
            }
            print "]}"
        }' "$work/stored" >"$daemon/maps.json"
}

with_daemon() {
    local f=$work/daemon.prom lun='\{wwid="[^"]*",alias="vol_db0'
    metrics "$f" LD_LIBRARY_PATH="$fake_lib" FAKE_MPATHD_DIR="$daemon" || return
    promtool_clean "$f" || return
    [ "$(grep -c '^# TYPE tald_[a-z_]* gauge$' "$f")" = 10 ] || { echo "not 10 families"; cat "$f"; return 1; }
    [ "$(grep -c '^tald_path_priority{' "$f")" = 32 ] || { echo "not 32 paths"; return 1; }
    has "$f" "^tald_multipathd_lun_preferred_group_active${lun}2\"\} 0$" '^tald_multipathd_groups_read 1$' \
        "^tald_multipathd_lun_priorities_differ${lun}1\"\} 1$"
}

# The daemon away, then the file unreadable (a directory in its place).
other_views() {
    local status
    metrics "$work/alone.prom" || return
    promtool_clean "$work/alone.prom" && has "$work/alone.prom" '^tald_multipathd_reached 0$' || return
    mv "$state/tald.conf" "$work/tald.conf" && mkdir "$state/tald.conf" || return
    metrics "$work/unreadable.prom" LD_LIBRARY_PATH="$fake_lib" FAKE_MPATHD_DIR="$daemon"
    status=$?
    rmdir "$state/tald.conf" && mv "$work/tald.conf" "$state/tald.conf" && [ "$status" -eq 0 ] || return 1
    promtool_clean "$work/unreadable.prom" && has "$work/unreadable.prom" '^tald_preference_file_readable 0$'
}

# The service as the package installs it, its program the tree's: what
# `systemd-analyze verify` says of it and its timer (nothing), and the
# exposure `systemd-analyze security` rates at 2.0 or less (9.6 unconfined).
unit_confined() {
    local units=$work/units unit out
    command -v systemd-analyze >/dev/null || { echo "no systemd-analyze"; return 1; }
    mkdir -p "$units" || return
    for unit in service timer; do
        sed -e "s|@TALD_SBINDIR@|${tald%/*}|" -e "s|@TALD_TEXTFILE_DIR@|$work/textfile|" \
            "systemd/tald-metrics.$unit.in" >"$units/tald-metrics.$unit" || return
    done
    out=$(cd "$units" && systemd-analyze verify --man=no tald-metrics.service tald-metrics.timer 2>&1)
    [ -z "$out" ] || { printf '%s\n' "$out"; return 1; }
    (cd "$units" && systemd-analyze security --offline=true --threshold=20 tald-metrics.service) \
        >"$work/security" 2>&1 || { grep -E '^(✗|→)' "$work/security"; return 1; }
    grep '^→' "$work/security"
}

# A real node_exporter, only its textfile collector, on a free port of
# 127.0.0.1: a port that another process took makes it exit, and the next
# is tried.
start_exporter() {
    local try port
    mkdir -p "$work/textfile" || return
    for try in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
            --collector.textfile --collector.textfile.directory="$work/textfile" >"$work/exporter.log" 2>&1 &
        exporter_pid=$!
        for _ in $(seq 50); do
            if curl -sf "http://127.0.0.1:$port/metrics" >/dev/null; then
                exporter_url=http://127.0.0.1:$port/metrics
                return 0
            fi
            kill -0 "$exporter_pid" 2>/dev/null || break
            sleep 0.2
        done
        kill "$exporter_pid" 2>/dev/null
        wait "$exporter_pid" 2>/dev/null
        exporter_pid=
    done
    cat "$work/exporter.log"
    return 1
}

scraped() {
    local file=$work/textfile/tald.prom scrape=$work/scrape samples
    sim env LD_LIBRARY_PATH="$fake_lib" FAKE_MPATHD_DIR="$daemon" "$tald" --metrics "$file" ||
        { echo "tald --metrics $file: status $?"; return 1; }
    [ "$(stat -c %a "$file")" = 644 ] || { echo "mode $(stat -c %a "$file")"; return 1; }
    curl -sf "$exporter_url" >"$scrape" || { echo "curl $exporter_url failed"; return 1; }
    has "$scrape" '^node_textfile_scrape_error 0$' || return
    samples=$(grep -c '^tald_' "$file")
    [ "$(grep -c '^tald_' "$scrape")" = "$samples" ] ||
        { echo "$samples samples in the file, $(grep -c '^tald_' "$scrape") scraped"; return 1; }
}

while read -r dev _; do
    sim "$callout" "$dev" >/dev/null
done < <(awk '$1 == "node" { print $2 }' "$scenario")
sim "$tald" --prio --set /dev/sdb 8 >/dev/null
script_daemon || not_run metrics "the daemon's script could not be made"
check "tald --metrics, the daemon holding every path: promtool check metrics; 10 families, 32 paths" with_daemon
check "tald --metrics without multipathd, and with tald.conf unreadable: promtool check metrics" other_views
check "tald-metrics.service: systemd-analyze verify, and security's exposure at most 2.0" unit_confined
check "promtool check rules examples/tald.rules.yml" promtool check rules examples/tald.rules.yml
check "promtool test rules tests/metrics_rules_test.yml: each alert fires after its time" \
    promtool test rules tests/metrics_rules_test.yml
# Started here, not in a check's subshell: the exit trap stops it.
exporter_url=
start_exporter >"$work/start.log" 2>&1
if check "node_exporter on 127.0.0.1, textfile directory in the test's own" \
    eval '[ -n "$exporter_url" ] || { cat "$work/start.log"; false; }'; then
    check "tald --metrics FILE into its directory, scraped with curl: every sample published, no scrape error" scraped
    echo "      scraped from $exporter_url:"
    grep -E '^(tald_|node_textfile_scrape_error)' "$work/scrape" | grep -E 'vol_db01|^[a-z_]+ ' | sed 's/^/      /'
fi
finish
