#!/bin/sh
# Runs the many-firewalls benchmark from one command:
#   bench/firewall_run.sh [BUILD_DIR] [-- benchmark options]
# Without BUILD_DIR it configures and builds build-bench-firewall first (Release).
# Default: 50, 200, 500 and 1,000 peers, 3 runs each, min/median/max at the end.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-}
if [ -z "$build" ] || [ "$build" = "--" ]; then
  build=$repo/build-bench-firewall
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target bench_firewall_peers
fi
[ $# -gt 0 ] && shift
[ "${1:-}" = "--" ] && shift
exec "$build/bench/bench_firewall_peers" "$@"
