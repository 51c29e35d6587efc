#!/usr/bin/env bash
# man/lint_test.sh PAGE...: every page renders with groff (-ww: all warnings)
# and passes mandoc's lint at every level; any message fails the test. Also
# checks the cross references: every page that one of ours names in section 8
# and that belongs to this package exists. Pages of any section. Exit 77 (skipped) without the tools.
set -uo pipefail
for tool in groff mandoc; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
failed=0
for page in "$@"; do
    out=$(groff -man -ww -z "$page" 2>&1; mandoc -T lint -W all "$page" 2>&1)
    if [ -n "$out" ]; then
        printf 'FAIL %s\n%s\n' "$page" "$out"
        failed=1
    fi
    name=$(basename "$page")
    name=${name%.[0-9]}
    head=$(grep -m1 '^\.TH ' "$page" | cut -d' ' -f2)
    if [ "$head" != "${name^^}" ]; then
        echo "FAIL $page: .TH names $head"
        failed=1
    fi
    for ref in $(grep -o '^\.BR [a-z_]*(8)' "$page" | sed 's/^\.BR \(.*\)(8)/\1/' | sort -u); do
        case $ref in
        tald | mpath_prio_tald | libpriotald)
            [ -f "$(dirname "$page")/$ref.8" ] || { echo "FAIL $page: no page $ref(8)"; failed=1; } ;;
        esac
    done
done
[ "$failed" -eq 0 ] && echo "$# pages clean"
exit "$failed"
