#!/usr/bin/env bash
# completion/completion_test.sh FILE: the bash completion of tald offers the
# options, the words that follow them, only block devices as paths and JSON
# files (and directories) as the fleet commands' files.
# Exit 77 (skipped) without bash-completion.
set -uo pipefail
lib=/usr/share/bash-completion/bash_completion
[ -r "$lib" ] || { echo "SKIP: bash-completion is not installed"; exit 77; }
source "$lib"
source "$1"

failed=0
# expect WANT WORD...: completing the last word of "WORD..." offers WANT.
expect() {
    local want=$1 got
    shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE} COMPREPLY=()
    _tald
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    [ "$got" = "$want" ] || { echo "FAIL [$*]: '$got', not '$want'"; failed=1; }
}
expect '--alias --apply --check --drain --export --flush --help --list --look --metrics --prio --restore --version -F -V -l -v' \
    tald ''
expect '--check' tald -v 3 --ch
expect '0 1 2 3' tald -v ''
expect '--json' tald -l ''
expect '--json' tald --list ''
expect '--get --set' tald --prio ''
expect '--get' tald --alias ''
expect '0 5 6 7 8' tald --prio --set /dev/sdb ''
expect 'C0 C1' tald --drain ''
expect '--wait' tald --drain C1 ''
expect '--wait' tald --restore ''
expect '--dry-run --prune --strict' tald --apply fleet.json ''
expect '--dry-run --strict' tald --apply - --prune ''
expect '--strict' tald --apply fleet.json --dry-run --s
# JSON files and directories after --apply and --export.
(
    cd "$(mktemp -d)" && touch fleet.json notes.txt && mkdir saved || exit 1
    expect 'fleet.json saved' tald --apply ''
    expect 'fleet.json saved' tald --export ''
    rm -r "$PWD"
    exit "$failed"
) || failed=1
# Character devices and files are no paths of the array.
expect '' tald --prio --get /dev/nul
expect '' tald --alias --get /etc/pass
block=$(find /dev -maxdepth 1 -type b -print -quit)
[ -z "$block" ] ||
    expect "$(find /dev -maxdepth 1 -type b -name "${block#/dev/}*" | sort | xargs)" \
        tald --prio --set "$block"
[ "$failed" -eq 0 ] && echo "completion clean"
exit "$failed"
