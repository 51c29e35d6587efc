#!/usr/bin/env bash
# The figures of tools/bench.sh for this tree's programs beside those of a
# baseline, from one run: bench.sh runs in rounds, once with --programs BASE
# and once with this tree's programs, the order turned each round (base,
# this, this, base, ...) so that a change in the machine's load falls on both
# alike. Every figure is then printed as the baseline's, this tree's and their
# ratio (this / base), each the median over the rounds.
#
#   tools/bench_pair.sh BASE [--rounds N] [BENCH_OPTIONS...]
#     BASE          a build tree (its programs as bench.sh --programs takes
#                   them), or a commit: built once, with the flags of
#                   build/normal, in build/base-COMMIT (its sources beside)
#     --rounds N    rounds of both (default 2)
#     BENCH_OPTIONS passed to every bench.sh run: RUNS, --no-gbench,
#                   --plugin-only, --luns N
# Each run's whole output is kept in build/bench-pair/ for a closer look.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

usage() { echo "usage: tools/bench_pair.sh BASE [--rounds N] [RUNS] [--no-gbench] [--plugin-only] [--luns N]" >&2; exit 2; }
(($#)) || usage
base=$1
shift
rounds=2
opts=()
while (($#)); do
    case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --programs | --keep) usage ;;
    *) opts+=("$1"); shift ;;
    esac
done

# build_base COMMIT: the programs of COMMIT in build/base-COMMIT/build.
build_base() {
    local sha dir flags target
    sha=$(git rev-parse --short "$1^{commit}")
    dir=$top/build/base-$sha
    if [ ! -d "$dir/src" ]; then
        mkdir -p "$dir/src"
        git archive "$sha" | tar -x -C "$dir/src"
    fi
    cmake -S "$top" -B "$top/build/normal" -G Ninja >/dev/null
    flags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "$top/build/normal/CMakeCache.txt")
    cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="$flags" >/dev/null
    # store_bench is optional: an old tree may not have it.
    for target in mpath_prio_tald tald priotald store_bench; do
        cmake --build "$dir/build" -j 2 --target "$target" >/dev/null 2>&1 ||
            [ "$target" = store_bench ] || { echo "bench_pair: $target of $sha did not build" >&2; exit 1; }
    done
    echo "$dir/build"
}

if [ -d "$base" ]; then
    base=$(cd "$base" && pwd)
else
    base=$(build_base "$base")
fi
out=$top/build/bench-pair
rm -rf "$out" && mkdir -p "$out"
echo "baseline: $base; this tree: $top/build/normal; $rounds rounds of tools/bench.sh ${opts[*]}"
for ((r = 1; r <= rounds; r++)); do
    order="base this"
    ((r % 2)) || order="this base"
    for side in $order; do
        echo "round $r: $side (load average $(cut -d' ' -f1 /proc/loadavg))"
        if [ "$side" = base ]; then
            tools/bench.sh "${opts[@]}" --programs "$base" >"$out/base.$r" 2>&1
        else
            tools/bench.sh "${opts[@]}" >"$out/this.$r" 2>&1
        fi
    done
done

# Lines are matched by their text with every number taken out (the first
# such line with the first, and so on); a line without numbers is printed as
# it stands, one with numbers three times: the baseline's medians, this
# tree's, and under each number its ratio.
awk -v rounds="$rounds" '
function isnum(t) { return t ~ /^-?[0-9]+(\.[0-9]+)?$/ }
function key(line,    n, t, i, k) {
    n = split(line, t, " "); k = ""
    # The state directory is another one in every run.
    for (i = 1; i <= n; i++) k = k " " (isnum(t[i]) ? "#" : t[i] ~ /tald-bench\./ ? "STATE" : t[i])
    return k
}
function median(list,    v, n, i, j, x) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { x = v[j]; v[j] = v[j - 1]; v[j - 1] = x }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
# The line with its numbers replaced by the medians of side s; ends[] gets
# the column where each number ends.
function show(s, k,    line, out, tok, i, d, whole) {
    line = first[s, k]; out = ""; i = 0
    while (match(line, /-?[0-9]+(\.[0-9]+)?/)) {
        tok = substr(line, RSTART, RLENGTH)
        out = out substr(line, 1, RSTART - 1)
        whole = (out == "" || out ~ / $/) && substr(line, RSTART + RLENGTH, 1) ~ /^( |$)/
        if (whole) {
            d = index(tok, ".") ? length(tok) - index(tok, ".") : 0
            tok = sprintf("%" length(tok) "." d "f", med[s, k, ++i])
        }
        out = out tok
        if (whole) ends[i] = length(out)
        line = substr(line, RSTART + RLENGTH)
    }
    return out line
}
FNR == 1 { split(FILENAME, f, "/"); split(f[length(f)], sr, "."); side = sr[1]; delete seen }
{
    # The nth line of a text in its run: the plugin rows differ only by numbers.
    k = key($0); k = k SUBSEP (++seen[k]); n = split($0, t, " "); c = 0
    if (!((side, k) in first)) { first[side, k] = $0; if (side == "this") order[++lines] = k }
    for (i = 1; i <= n; i++) if (isnum(t[i])) vals[side, k, ++c] = vals[side, k, c] " " t[i]
    count[side, k] = c
}
END {
    for (l = 1; l <= lines; l++) {
        k = order[l]
        if (count["this", k] == 0 || !(("base", k) in first)) { if (count["this", k] == 0) print first["this", k]; continue }
        for (s = 0; s < 2; s++) { side = s ? "this" : "base"
            for (i = 1; i <= count[side, k]; i++) med[side, k, i] = median(vals[side, k, i]) }
        print "  base  " show("base", k)
        print "  this  " show("this", k)
        r = "  ratio "
        for (i = 1; i <= count["this", k]; i++) {
            x = med["base", k, i] + 0 == 0 ? "-" : sprintf("%.3f", med["this", k, i] / med["base", k, i])
            while (length(r) + length(x) < ends[i] + 8) r = r " "
            r = r x " "
        }
        print r
    }
}' "$out"/base.* "$out"/this.*
