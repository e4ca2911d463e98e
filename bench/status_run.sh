#!/usr/bin/env bash
# Status benchmark, from one command:
#   bench/status_run.sh [BUILD_DIR]
# Without BUILD_DIR it configures and builds build-bench-status (Release).
# For 1,000, 10,000 and 50,000 cached logons (SSO_BENCH_SIZES) it runs the
# agent as the service (a dummy NOTIFY_SOCKET, its own runtime folder) on a
# Security.xml store of that many logons, waits until the cache holds them,
# then times SSO_BENCH_RUNS (default 10) answers of each query, end to end
# from the client: sso-diag status --json, sso-diag mappings --json (every
# mapping), sso-diag mappings --ip (one) and a scrape of /metrics with curl,
# and the slowest scrape while a full mappings is being answered.
# Prints min/median/max in ms and the answer's size. Only loopback is used.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-}
if [ -z "$build" ]; then
  build=$repo/build-bench-status
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target ferrowinden-sso-agent sso-diag >/dev/null
fi
runs=${SSO_BENCH_RUNS:-10}
sizes=${SSO_BENCH_SIZES:-"1000 10000 50000"}
work=$(mktemp -d "${TMPDIR:-/tmp}/sso-bench-status-XXXXXX")
agent_pid=
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# min/median/max of the durations (ms) read from standard input.
summary() { sort -n | awk '{v[NR]=$1} END {printf "min %.1f  median %.1f  max %.1f ms", v[1], v[int((NR+1)/2)], v[NR]}'; }

# Runs a command runs times; prints its timing summary and its answer's size.
measure() {
  local name=$1; shift
  local times=() size=0
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    size=$("$@" | wc -c)
    end=$(date +%s%N)
    times+=("$(( (end - start) / 1000 ))")
  done
  printf '  %-28s %s  (%s bytes)\n' "$name" \
    "$(printf '%s\n' "${times[@]}" | awk '{printf "%.3f\n", $1/1000}' | summary)" "$size"
}

# The slowest scrape of /metrics while a full mappings is being answered, per
# run: the page is rendered on the agent's main thread, so this is how long
# a full mappings holds that thread (and the firewalls' traffic) up.
measure_stall() {
  local name=$1 diag=$2 url=$3
  local stalls=()
  for _ in $(seq "$runs"); do
    "$diag" mappings --json >/dev/null &
    local pid=$! worst=0
    while kill -0 "$pid" 2>/dev/null; do
      local t
      t=$(curl -s -o /dev/null -w '%{time_total}' "$url")
      worst=$(awk -v a="$worst" -v b="$t" 'BEGIN {print (b > a) ? b : a}')
    done
    wait "$pid" || true
    stalls+=("$worst")
  done
  printf '  %-28s %s\n' "$name" \
    "$(printf '%s\n' "${stalls[@]}" | awk '{printf "%.3f\n", $1*1000}' | summary)"
}

for n in $sizes; do
  instance=$work/$n
  mkdir -p "$instance/eventlog/10.77.0.1" "$instance/rt"
  cp "$build/app/ferrowinden-sso-agent" "$build/tools/sso-diag" "$instance/"
  port=$(free_port); metrics=$(free_port)
  cat >"$instance/config.ini" <<INI
[Global]
VerboseLevel=low
FirewallEnabled=true
MetricsAddress=127.0.0.1:$metrics

[WebServer]
Port=$port
SSLKey=status benchmark key

[AD-FWBENCH]
FirewallName=FWBENCH
Servers\size=1
Servers\1\ips=10.77.0.1
Enabled=true
CollectInterval=1
MaxSecondToRead=86400
DnsEnabled=false
Netbios=CORP
Fqdn=corp.example.com
Probe\Enabled=false
INI
  /usr/bin/python3 - "$n" >"$instance/eventlog/10.77.0.1/Security.xml" <<'PY'
import sys, datetime
n = int(sys.argv[1])
now = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(seconds=30)
stamp = now.strftime("%Y-%m-%dT%H:%M:%S.000Z")
for i in range(n):
    ip = "10.%d.%d.%d" % (100 + i // 65536, (i // 256) % 256, i % 256)
    print("<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider "
          "Name='Microsoft-Windows-Security-Auditing'/><EventID>4624</EventID><TimeCreated SystemTime='%s'/>"
          "<EventRecordID>%d</EventRecordID><Channel>Security</Channel><Computer>dc01.corp.example.com</Computer>"
          "</System><EventData><Data Name='TargetUserSid'>S-1-5-21-1-2-3-%d</Data><Data Name='TargetUserName'>user%d"
          "</Data><Data Name='TargetDomainName'>CORP</Data><Data Name='LogonType'>3</Data><Data "
          "Name='WorkstationName'>PC%d</Data><Data Name='IpAddress'>%s</Data></EventData></Event>"
          % (stamp, i + 1, 1000 + i, i, i, ip))
PY
  export SSO_AGENT_RUNTIME_DIR=$instance/rt SSO_AGENT_UNIT_DIR=$instance/rt TMPDIR=$instance
  (cd "$instance" && NOTIFY_SOCKET=$instance/rt/notify exec ./ferrowinden-sso-agent) &
  agent_pid=$!
  for _ in $(seq 600); do
    cached=$("$instance/sso-diag" status --json 2>/dev/null |
      /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); print(sum(c["cacheSize"] for c in d["collectors"]))' \
      2>/dev/null || echo 0)
    [ "$cached" = "$n" ] && break
    sleep 0.5
  done
  echo "$n cached logons (cache holds $cached):"
  measure "sso-diag status --json" "$instance/sso-diag" status --json
  measure "sso-diag mappings --json" "$instance/sso-diag" mappings --json
  measure "sso-diag mappings --ip" "$instance/sso-diag" mappings --ip 10.100.0.7 --json
  measure "curl /metrics" curl -s "http://127.0.0.1:$metrics/metrics"
  measure_stall "/metrics during mappings" "$instance/sso-diag" "http://127.0.0.1:$metrics/metrics"
  "$instance/ferrowinden-sso-agent" -t >/dev/null 2>&1 || true
  wait "$agent_pid" 2>/dev/null || true
  agent_pid=
done
