#!/usr/bin/env bash
# Makes every Debian root the stages of tools/test.sh work in (the list is
# tools/lib/roots.sh's), one after another, each once: tools/debroot.sh
# keeps them in its cache, and a stage that asks for a root being made
# waits for it (the release's lock). tools/test.sh runs this in the
# background from its start, so that the downloads and dpkg's work overlap
# the builds. One line per root with the time it took (0 s: it was made
# already); a root that fails is said, the others are still made. Exits
# non-zero when one failed. Needs root.
#   tools/roots.sh
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/lib/roots.sh
. "$here/lib/roots.sh"
status=0 all=$SECONDS
while read -r kind args; do
    begun=$SECONDS what="$kind${args:+ $args}"
    # shellcheck disable=SC2086
    if "root_$kind" $args >/dev/null; then
        echo "roots: $what: $((SECONDS - begun)) s"
    else
        echo "roots: $what: failed after $((SECONDS - begun)) s"
        status=1
    fi
done < <(roots_needed)
echo "roots: all in $((SECONDS - all)) s"
exit $status
