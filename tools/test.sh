#!/usr/bin/env bash
# Sets up, builds the normal and the sanitizer build, and runs every test of
# both. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
tools/setup.sh

jobs=$(nproc)
status=0
for variant in normal sanitize; do
    dir=build/$variant
    san=OFF
    [ "$variant" = sanitize ] && san=ON
    echo "== $variant build"
    cmake -S . -B "$dir" -G Ninja -DTALD_SANITIZE=$san >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== $variant tests"
    if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600; then
        status=1
    fi
done
exit $status
