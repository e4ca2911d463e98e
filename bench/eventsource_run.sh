#!/usr/bin/env bash
# Runs the event-source benchmarks from one command:
#   bench/eventsource_run.sh [BUILD_DIR]
# Without BUILD_DIR it configures and builds build-bench-eventsource first.
# Builds a large EVTX log (100,000 records from a sample log), then compares
# the first reading of it by the reader (sso-diag events) with evtxexport,
# SSO_BENCH_RUNS times each (default 3), and runs the Google benchmarks as
# many times; every figure is printed as min/median/max (or mean, median,
# stddev for the Google benchmarks).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-}
if [ -z "$build" ]; then
  build=$repo/build-bench-eventsource
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target bench_eventsource sso-diag evtx_spike
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
stats() { # min/median/max of the numbers given
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { printf "min %.2f  median %.2f  max %.2f", v[1], v[int((NR + 1) / 2)], v[NR] }'
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Side by side, one after the other, so that both see the same machine.
runs=${SSO_BENCH_RUNS:-3}
ours=() theirs=()
for _ in $(seq "$runs"); do
  ours+=("$(cpu "$build/tools/sso-diag" events "$work/192.0.2.10" WindowsEventLog 4294967295)")
  theirs+=("$(cpu evtxexport -f xml "$evtx")")
done
logons=$("$build/tools/sso-diag" events "$work/192.0.2.10" WindowsEventLog 4294967295 | tail -1)
echo "first reading, CPU seconds over $runs runs ($logons):"
echo "  sso-diag events  : $(stats "${ours[@]}")"
echo "  evtxexport -f xml: $(stats "${theirs[@]}")"
awk -v r="$records" -v a="$(median "${ours[@]}")" -v b="$(median "${theirs[@]}")" \
  'BEGIN { printf "  medians: %.0f and %.0f records/s; sso-diag %.2f times as fast\n", r / a, r / b, b / a }'

SSO_BENCH_EVTX=$evtx SSO_BENCH_EVTX_RECORDS=$records "$build/bench/bench_eventsource" "--benchmark_filter=${SSO_BENCH_FILTER:-.}" \
  --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true

echo "spike, an own EVTX reader's walk beside libevtx's loading:"
for _ in $(seq "$runs"); do "$build/bench/evtx_spike" "$evtx" | head -2; done
