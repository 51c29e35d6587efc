#!/usr/bin/env bash
# The Cockpit page "Array paths" (cockpit/tald) in a real browser: Debian's
# chromium, headless, through chromedriver, loads it from a real cockpit-ws on
# 127.0.0.1 and a real cockpit-bridge, as root (administrative access) and as
# nobody (none), with the tree's tald on the simulated array and a scripted
# multipathd (tools/cockpit/browser_test.py says how). Screenshots of each
# state are kept in build/cockpit-shots. The state lives in a directory of
# its own under /tmp, removed at the end; the machine's /etc/lvm/cache and
# its accounts are never touched. The last line is "N passed, M failed".
#   tools/cockpit_test.sh              the checks (root)
#   tools/cockpit_test.sh --bench N    load time and a refresh's host cost at N LUNs
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
not_run() { echo "cockpit: not run: $*"; echo "0 passed, 1 failed"; exit 1; }
[ "$(id -u)" -eq 0 ] || not_run "needs root (a session as root and one as nobody)"
for tool in chromium chromedriver cockpit-bridge /usr/lib/cockpit/cockpit-ws python3 setpriv; do
    command -v "$tool" >/dev/null || not_run "no $tool (tools/setup.sh installs it)"
done
id nobody >/dev/null 2>&1 || not_run "no user nobody for the session without administrative access"
build=$top/build/normal
cmake -S . -B "$build" -G Ninja >/dev/null &&
    cmake --build "$build" --target tald mpath_prio_tald simarray fake_mpathcmd >/dev/null ||
    not_run "the build of tald, the callout, the simulated array and the scripted daemon failed"
exec python3 tools/cockpit/browser_test.py "$top" "$build" "$@"
