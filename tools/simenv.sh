# Sourced by the demo and the benchmark: builds the two programs and the
# simulated array in build/normal, and defines `sim`, which runs a command
# against the simulated array (tools/simarray/scenarios/array8.scn) with
# /etc/lvm/cache redirected into a temporary directory that is removed on exit.
# Expects $top (the checkout) and the name of the temporary directory in $1.
build=build/normal
cmake -S "$top" -B "$top/$build" -G Ninja >/dev/null
cmake --build "$top/$build" --target mpath_prio_tald tald simarray >/dev/null

scenario=$top/tools/simarray/scenarios/array8.scn
callout=$top/$build/src/callout/mpath_prio_tald
tald=$top/$build/src/command/tald
state=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
trap 'rm -rf "$state"' EXIT

sim() {
    LD_PRELOAD=$top/$build/tools/simarray/libsimarray.so \
    SIMARRAY_SCENARIO=$scenario \
    SIMARRAY_STATE_DIR=$state \
        "$@"
}
