# shellcheck shell=bash
# Sourced by the test scripts of tools/: the checks they all make and the
# last line tools/test.sh counts. Each check prints one line, "ok    NAME"
# or "FAIL  NAME" followed by the command's output indented; the script's
# last line is "N passed, M failed".
#
#   . tools/lib/check.sh
#   check NAME COMMAND...
#   finish
passed=0
failed=0

# check NAME COMMAND...: one line per check; the command's output only when it fails.
check() {
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok    $name"
    else
        failed=$((failed + 1))
        echo "FAIL  $name"
        [ -z "$out" ] || printf '%s\n' "$out" | sed 's/^/      /'
    fi
}

# expect WANT_STATUS WANT_OUTPUT COMMAND...: the command's exit status and
# standard output, exactly.
expect() {
    local want_status=$1 want=$2 out status
    shift 2
    out=$("$@")
    status=$?
    [ "$status" -eq "$want_status" ] || { echo "exit status $status, wanted $want_status"; return 1; }
    [ "$out" = "$want" ] || { printf 'output:\n%s\nwanted:\n%s\n' "$out" "$want"; return 1; }
}

# not_run WHO WHY...: the script cannot run here; tools/test.sh shows WHY in
# its summary and counts one failure.
not_run() {
    local who=$1
    shift
    echo "$who: not run: $*"
    echo "0 passed, 1 failed"
    exit 1
}

# finish: the counts; exits non-zero when a check failed.
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
