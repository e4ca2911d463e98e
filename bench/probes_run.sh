#!/bin/sh
# Probing-cycle benchmark, from one command:
#   bench/probes_run.sh [BUILD_DIR]
# Without BUILD_DIR it configures and builds build-bench-probes first; it
# installs fping (scripts/setup fping). Everything runs in a network namespace
# that the script creates (unshare -n): 90% of the addresses are distinct
# loopback addresses (127.0.0.0/8, answering), 10% lie in 10.202.0.0/16,
# routed into lo without an address (never answering). No echo leaves the
# machine.
# For 1,000 and 10,000 logons it runs SSO_BENCH_RUNS (default 3) cycles of
# the logoff collector with MaxConcurrent 20 and 256 (or the values of
# SSO_BENCH_CONCURRENT) and PingTimeout 1000 ms (four echoes per silent
# host), and fping over the same list with the same
# time-out and retries (-t 1000 -r 3 -B 1) at the smallest packet interval it
# accepts (-i 0 as root), and prints min/median/max of wall time, CPU time
# (user + system), sockets and threads. The agent's "cycle" figures are taken
# by probes_cycle itself from the start of the cycle to its last probe; its
# "whole process" figures, like fping's, include start-up and reading the list.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
"$repo/scripts/setup" fping
build=${1:-}
if [ -z "$build" ]; then
  build=$repo/build-bench-probes
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target probes_cycle
fi
if [ "${SSO_BENCH_IN_NETNS:-}" != 1 ]; then
  SSO_BENCH_IN_NETNS=1 exec unshare -n "$0" "$build"
fi

ip link set lo up
ip route add 10.202.0.0/16 dev lo
runs=${SSO_BENCH_RUNS:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/sso-bench-probes-XXXXXX")
trap 'rm -rf "$work"' EXIT

# n addresses, every tenth one silent.
make_list() {
  awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) {
      if (i % 10 == 9) printf "10.202.%d.%d\n", int(i / 250), i % 250 + 1;
      else printf "127.%d.%d.%d\n", int(i / 62500) + 1, int(i / 250) % 250, i % 250 + 1 } }' > "$2"
}

# min / median / max of one column of a file of runs
stats() {
  sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END {
      printf "%g / %g / %g", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR] }'
}

echo "probing cycle, PingTimeout 1000 ms, 4 echoes per host, $runs runs each: min / median / max"
for n in 1000 10000; do
  make_list "$n" "$work/list"
  for concurrent in ${SSO_BENCH_CONCURRENT:-20 256}; do
    : > "$work/agent"
    for r in $(seq "$runs"); do
      python3 "$here/probes_rusage.py" "$build/bench/probes_cycle" "$work/list" "$concurrent" 1000 >> "$work/agent"
    done
    echo "$n logons, agent MaxConcurrent $concurrent:"
    echo "  cycle: wall s $(stats "$work/agent" 1) | CPU s $(stats "$work/agent" 2)" \
         "| whole process: wall s $(stats "$work/agent" 8) | CPU s $(stats "$work/agent" 9)"
    echo "  ICMP sockets $(stats "$work/agent" 3) | socket fds $(stats "$work/agent" 4) | threads $(stats "$work/agent" 5)" \
         "| present $(stats "$work/agent" 6) | absent $(stats "$work/agent" 7)"
  done
  : > "$work/fping"
  for r in $(seq "$runs"); do
    python3 "$here/probes_rusage.py" fping -q -t 1000 -r 3 -B 1 -i 0 -f "$work/list" >> "$work/fping"
  done
  # What it finds, its sockets and threads, looked at once while it runs.
  fping -a -t 1000 -r 3 -B 1 -i 0 -f "$work/list" > "$work/alive" 2>/dev/null &
  pid=$!
  sleep 1
  sockets=$(ls -l "/proc/$pid/fd" 2>/dev/null | grep -c socket || true)
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo "?")
  wait "$pid" || true
  echo "$n logons, fping -i 0 ($sockets socket fds, $threads thread; present $(wc -l < "$work/alive")):"
  echo "  whole process: wall s $(stats "$work/fping" 1) | CPU s $(stats "$work/fping" 2)"
done
