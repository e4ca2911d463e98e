#!/bin/sh
# Runs the event-source benchmarks from one command:
#   bench/eventsource_run.sh [BUILD_DIR]
# Without BUILD_DIR it configures and builds build-bench-eventsource first.
# Builds a large EVTX log (100,000 records from a sample log), then compares
# the first reading of it by the reader (sso-diag events) with evtxexport.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-}
if [ -z "$build" ]; then
  build=$repo/build-bench-eventsource
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target bench_eventsource sso-diag
fi
sample=${SSO_SAMPLE_LOGS:-$repo/../shared/data/eventlogs}/ws-security-mixed-4624.evtx
work=$(mktemp -d "${TMPDIR:-/tmp}/sso-bench-evtx-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/192.0.2.10"
records=$(python3 "$here/eventsource_make_evtx.py" "$sample" "$work/192.0.2.10/Security.evtx" "${SSO_BENCH_RECORDS:-100000}")
evtx=$work/192.0.2.10/Security.evtx
echo "EVTX log: $records records, $(stat -c %s "$evtx") bytes"

cpu() { # user+system seconds of a command, its output discarded
  /usr/bin/time -f "%U %S" -o "$work/time" "$@" >/dev/null 2>&1 || true
  awk '{ printf "%.2f", $1 + $2 }' "$work/time"
}
ours=$(cpu "$build/tools/sso-diag" events "$work/192.0.2.10" WindowsEventLog 4294967295)
theirs=$(cpu evtxexport -f xml "$evtx")
logons=$("$build/tools/sso-diag" events "$work/192.0.2.10" WindowsEventLog 4294967295 | tail -1)
echo "first reading, CPU seconds (records/s):"
awk -v r="$records" -v s="$ours" 'BEGIN { printf "  sso-diag events : %6.2f s  %8.0f records/s\n", s, r / s }'
awk -v r="$records" -v s="$theirs" 'BEGIN { printf "  evtxexport -f xml: %6.2f s  %8.0f records/s\n", s, r / s }'
echo "  ($logons)"

SSO_BENCH_EVTX=$evtx SSO_BENCH_EVTX_RECORDS=$records "$build/bench/bench_eventsource" "--benchmark_filter=${SSO_BENCH_FILTER:-.}"
