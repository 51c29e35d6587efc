#!/usr/bin/env bash
# cockpit-quelvane-path-manager beside a release's own Cockpit, in a root
# where quelvane-path-manager is installed (tools/package_test.sh's overlay
# of a release's root, its /proc and /dev mounted; APT's archive reachable):
# `apt-get install ./PACKAGE`, as README says, brings that release's
# cockpit-bridge (and cockpit-ws, recommended); the bridge lists the page;
# the manifest's tald is there; that release's cockpit-ws, on a free port of
# 127.0.0.1, serves the page and its cockpit.js; a purge leaves no file of it.
# Silent when all is well; exits 1 with what failed otherwise.
#   tools/cockpit/package_check.sh ROOT COCKPIT_DEB
set -uo pipefail
root=${1:?ROOT} deb=${2:?COCKPIT_DEB}
pkg=cockpit-quelvane-path-manager
dir=/usr/share/cockpit/tald
ws_pid=
trap '[ -z "$ws_pid" ] || { kill "$ws_pid"; wait "$ws_pid"; } 2>/dev/null' EXIT

inroot() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
fail() { echo "$*"; exit 1; }

install -m 0644 "$deb" "$root/tmp/" || exit
inroot apt-get install -y "/tmp/${deb##*/}" >"$root/tmp/cockpit-apt.log" 2>&1 ||
    { tail -20 "$root/tmp/cockpit-apt.log"; exit 1; }
for p in $pkg cockpit-bridge; do
    inroot dpkg-query -W -f='${db:Status-Abbrev}\n' "$p" | grep -qx 'ii ' || fail "$p: not installed"
done
version=$(inroot dpkg-query -W -f='${Version}' cockpit-bridge)
for f in manifest.json index.html paths.js paths.css; do
    [ -f "$root$dir/$f" ] || fail "no $dir/$f"
done
listed=$(inroot cockpit-bridge --packages 2>&1)
grep -Eq "^tald +Array paths +$dir\$" <<<"$listed" ||
    fail "cockpit-bridge $version does not list the page:" "$listed"
tald=$(sed -n 's/^ *"tald": "\(.*\)",\{0,1\}$/\1/p' "$root$dir/manifest.json")
[ -n "$tald" ] && [ -x "$root$tald" ] || fail "the manifest's tald ($tald) is not in the root"

# The release's cockpit-ws, its local session the release's bridge.
ws=/usr/lib/cockpit/cockpit-ws
if [ -x "$root$ws" ]; then
    port=$((20000 + RANDOM % 40000))
    # Not through inroot: $! must be the server itself (chroot and env exec it).
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        "$ws" --no-tls -a 127.0.0.1 -p "$port" --local-session=cockpit-bridge >"$root/tmp/cockpit-ws.log" 2>&1 &
    ws_pid=$!
    base=http://127.0.0.1:$port/cockpit/@localhost
    for _ in $(seq 50); do
        curl -sf "$base/tald/index.html" -o "$root/tmp/index.html" && break
        sleep 0.2
    done
    cmp -s "$root/tmp/index.html" "$root$dir/index.html" ||
        { cat "$root/tmp/cockpit-ws.log"; fail "cockpit-ws of cockpit $version did not serve $dir/index.html"; }
    curl -sf --compressed "$base/base1/cockpit.js" -o "$root/tmp/cockpit.js" && grep -q spawn "$root/tmp/cockpit.js" ||
        fail "cockpit-ws of cockpit $version did not serve base1/cockpit.js"
    kill "$ws_pid" && wait "$ws_pid" 2>/dev/null
    ws_pid=
    # The session's bridge leaves a D-Bus session daemon and an ssh-agent in
    # the root, which would keep its mounts busy: every process left in the
    # root is this check's, stopped by its id.
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" = "$(readlink -f "$root")" ] && kill "${proc#/proc/}" 2>/dev/null
    done
fi

inroot apt-get purge -y $pkg >"$root/tmp/cockpit-apt.log" 2>&1 || { tail -20 "$root/tmp/cockpit-apt.log"; exit 1; }
[ ! -e "$root$dir" ] || fail "$dir is left after the purge"
