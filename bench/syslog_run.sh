#!/bin/sh
# Syslog intake of the agent beside rsyslog, from one command:
#   bench/syslog_run.sh [BUILD_DIR]
# Installs rsyslog if missing (scripts/setup rsyslog); without BUILD_DIR it
# configures and builds build-bench-syslog first (Release).
# One sender blasts syslog datagrams for SSO_BENCH_SECONDS (default 10) at
# 5,000, 20,000 and 50,000 a second at each receiver in turn: the agent's
# syslog task with its own settings, and rsyslog (imudp, its defaults)
# writing what it receives to a file. Repeated SSO_BENCH_RUNS times (default
# 3); prints received/sent per receiver and rate as min/median/max.
# Goals: nothing lost at 20,000 a second; never more loss than rsyslog.
#
# rsyslog runs in the foreground (-n) with its own configuration, pid file,
# work directory and output in a temporary folder, on a loopback port; it
# never reads or writes the system's syslog.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-}
runs=${SSO_BENCH_RUNS:-3}
seconds=${SSO_BENCH_SECONDS:-10}
rates=${SSO_BENCH_RATES:-5000 20000 50000}
"$repo/scripts/setup" rsyslog
if [ -z "$build" ]; then
  build=$repo/build-bench-syslog
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target bench_syslog
fi
bench=$build/bench/bench_syslog
work=$(mktemp -d "${TMPDIR:-/tmp}/sso-bench-syslog-XXXXXX")
rsyslog_pid=
agent_pid=
cleanup() {
  [ -n "$rsyslog_pid" ] && kill "$rsyslog_pid" 2>/dev/null || true
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

free_port() {
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
udp_bound() { # whether something listens on 127.0.0.1:PORT
  ss -Huln "sport = :$1" | grep -q .
}
lines_of() { grep -c 'user=u' "$1" 2>/dev/null || true; }

run_agent() { # rate -> "received sent"
  rm -f "$work/agent.out" "$work/sent" # the receiver's shell truncates its output only once it runs
  "$bench" receive "$work/sent" >"$work/agent.out" &
  agent_pid=$!
  i=0
  until grep -q '^ready' "$work/agent.out" 2>/dev/null; do
    i=$((i + 1)); [ "$i" -lt 500 ] || { echo "agent receiver did not start" >&2; exit 1; }
    sleep 0.01
  done
  port=$(awk '/^ready/ { print $2 }' "$work/agent.out")
  sent=$("$bench" send "$port" "$1" "$seconds" | awk '{ print $2 }')
  touch "$work/sent" # the receiver drains what is queued, then stops
  wait "$agent_pid"
  agent_pid=
  echo "$(awk '/^received/ { print $2 }' "$work/agent.out") $sent"
}

run_rsyslog() { # rate -> "received sent"
  port=$(free_port)
  rm -rf "$work/rsyslog" "$work/received.log"
  mkdir -p "$work/rsyslog"
  cat >"$work/rsyslog.conf" <<CONF
global(workDirectory="$work/rsyslog")
module(load="imudp")
input(type="imudp" address="127.0.0.1" port="$port")
*.* action(type="omfile" file="$work/received.log")
CONF
  rsyslogd -n -f "$work/rsyslog.conf" -i "$work/rsyslog/rsyslogd.pid" 2>"$work/rsyslog.err" &
  rsyslog_pid=$!
  i=0
  until udp_bound "$port"; do
    i=$((i + 1)); [ "$i" -lt 500 ] || { echo "rsyslogd did not start:" >&2; cat "$work/rsyslog.err" >&2; exit 1; }
    sleep 0.01
  done
  sent=$("$bench" send "$port" "$1" "$seconds" | awk '{ print $2 }')
  # Written when its queue drains: wait until the file stops growing.
  last=-1
  count=$(lines_of "$work/received.log")
  while [ "$count" != "$last" ]; do
    last=$count
    sleep 2
    count=$(lines_of "$work/received.log")
  done
  kill "$rsyslog_pid"
  wait "$rsyslog_pid" 2>/dev/null || true
  rsyslog_pid=
  echo "$count $sent"
}

: >"$work/results"
run=1
while [ "$run" -le "$runs" ]; do
  for rate in $rates; do
    echo "agent $rate $(run_agent "$rate")" >>"$work/results"
    echo "rsyslog $rate $(run_rsyslog "$rate")" >>"$work/results"
  done
  run=$((run + 1))
done

echo "syslog intake, $seconds s per run, $runs runs: received/sent (min / median / max)"
for receiver in agent rsyslog; do
  for rate in $rates; do
    awk -v r="$receiver" -v t="$rate" '$1 == r && $2 == t { print $3 / $4, $3, $4 }' "$work/results" | sort -n |
      awk -v r="$receiver" -v t="$rate" '{ v[NR] = $1; got[NR] = $2; sent[NR] = $3 }
        END { m = int((NR + 1) / 2);
              printf "  %-7s %6d/s: %.4f / %.4f / %.4f   (median run %d of %d)\n", r, t, v[1], v[m], v[NR], got[m], sent[m] }'
  done
done
