#!/usr/bin/env bash
# plugin_exports_test.sh LIBRARY VARIANT: the plugin exports getprio and
# nothing else, and needs no C++ runtime at run time (in the sanitizer build
# the sanitizer runtimes bring their own, so only the direct needs count).
set -euo pipefail
lib=$1
variant=$2
fail() { echo "FAIL: $*"; exit 1; }

exports=$(nm -D --defined-only "$lib" | awk '{ print $3 }')
[ "$exports" = getprio ] || fail "exported symbols are not exactly getprio:"$'\n'"$exports"

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if grep -Eq 'libstdc\+\+|libgcc_s|libmultipath' <<<"$needed"; then
    fail "needs a C++ runtime or libmultipath:"$'\n'"$needed"
fi
if [ "$variant" = normal ]; then
    if ldd "$lib" | grep -Eq 'libstdc\+\+|libgcc_s|libmultipath'; then
        fail "ldd shows a C++ runtime or libmultipath:"$'\n'"$(ldd "$lib")"
    fi
fi
readelf -d "$lib" | grep -q 'BIND_NOW\|FLAGS.*NOW' || fail "not linked with -z now"
echo "ok: exports getprio only; needs: $(tr '\n' ' ' <<<"$needed")"
