#!/usr/bin/env bash
# Takes the daemon's replies that init.sh dumps ("--- reply NAME" ... "---
# end NAME") out of a guest console log into DIR/NAME.txt, for the reply
# parser's test data (src/daemon/testdata/RELEASE).
#
#   tools/guest/replies.sh CONSOLE_LOG DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: tools/guest/replies.sh CONSOLE_LOG DIR" >&2; exit 2; }
mkdir -p "$2"
awk -v dir="$2" '
    /^--- reply / { name = $3; file = dir "/" name ".txt"; printf "" > file; next }
    name != "" && $0 == "--- end " name { close(file); name = ""; next }
    name != "" { print >> file }' "$1"
ls "$2"
