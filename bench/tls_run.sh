#!/bin/sh
# Runs the TLS handshake comparison from one command:
#   bench/tls_run.sh [--ciphers A:B] [--handshakes N] [--benchmark_* options]
# Builds build-bench-tls (the default build type, as shipped) unless
# SSO_BENCH_BUILD names a build folder, then measures the agent's PskServer
# beside `openssl s_server` for each suite (default: the agent's four), five
# repetitions, and prints the _min, _median and _max rows: wall_ratio and
# cpu_ratio are s_server's time over the agent's (goal: at least 0.95).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
"$repo/scripts/setup" openssl util-linux
build=${SSO_BENCH_BUILD:-}
if [ -z "$build" ]; then
  build=$repo/build-bench-tls
  cmake -S "$repo" -B "$build" -G Ninja -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target bench_tls_handshake
fi
exec "$build/bench/bench_tls_handshake" --benchmark_filter=SideBySide "$@"
