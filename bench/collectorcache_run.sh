#!/bin/sh
# Runs the collector-cache benchmarks from one command:
#   bench/collectorcache_run.sh [BUILD_DIR]
# Without BUILD_DIR it configures and builds build-bench-cache first (Release).
# Prints the resident memory per cached logon at 250,000 logons (min/median/max
# of SSO_BENCH_RUNS fresh processes, default 5) and what the address index
# alone takes of it (logons without workstation), then the merge cost for
# batches of 1, 100 and 10,000 logons into caches of 25,000 and 250,000
# (min/median/max of as many repetitions). Goals: at most 512 bytes per
# logon; the cost per logon the same for both cache sizes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-}
runs=${SSO_BENCH_RUNS:-5}
if [ -z "$build" ]; then
  build=$repo/build-bench-cache
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target bench_collectorcache
fi
bench=$build/bench/bench_collectorcache

memory() { # [address-only] -> min/median/max over the runs
  i=0
  values=
  while [ "$i" -lt "$runs" ]; do
    values="$values $("$bench" --memory "$@" | awk '{ print $NF }')"
    i=$((i + 1))
  done
  echo "$values" | tr ' ' '\n' | grep . | sort -n |
    awk '{ v[NR] = $1 } END { printf "%d runs: min %d, median %d, max %d", NR, v[1], v[int((NR + 1) / 2)], v[NR] }'
}
echo "resident bytes per cached logon (250,000 logons), $(memory) (goal: at most 512)"
echo "  of which the address index alone (logons without workstation), $(memory address-only)"

# CPU time is the figure to read: wall time depends on what else the machine runs.
"$bench" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
  --benchmark_filter="${SSO_BENCH_FILTER:-.}" 2>&1 | grep -E '^(Benchmark|Merge.*_(min|median|max) )'
