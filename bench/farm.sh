#!/usr/bin/env bash
# Two filters behind HAProxy against one filter alone, loopback only:
# smtp-source -> haproxy (send-proxy-v2, round robin) -> 2 x quibo -> smtp-sink,
# and smtp-source -> quibo -> smtp-sink, at concurrency CONC, RUNS times each in
# one run; rates, lost messages, and the CPU per message of the filters and of
# HAProxy (perf stat -e task-clock). On a 2-core machine this shows what the
# balancer costs, not what a farm gains. Installs postfix's tools and haproxy
# (never started as services). Results go to bench/results.txt.
# Usage: bench/farm.sh   (N=2000 SIZE=5120 CONC=50 RUNS=3)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${N:-2000}; SIZE=${SIZE:-5120}; CONC=${CONC:-50}; RUNS=${RUNS:-3}
SINK_PORT=2560; BALANCER_PORT=2561; FILTER_PORTS=(2562 2563)
OUT=${OUT:-bench/results.txt}
source bench/common.sh
bench_setup farm
command -v haproxy >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq haproxy >/dev/null

PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
sink_count() { tr '\r' '\n' < "$WORK/sink.log" | sed -n 's/.*mesg=\([0-9]*\).*/\1/p' | tail -1; }

smtp-sink -u postfix -c 127.0.0.1:$SINK_PORT 1024 > "$WORK/sink.log" 2>&1 &
PIDS+=($!)
wait_port $SINK_PORT
FILTER_PIDS=()
for i in 0 1; do
  mkdir -p "$WORK/home$i"
  printf '[Settings]\nListenIP=127.0.0.1\nListenPort=%s\nOutgoingIP=127.0.0.1\nOutgoingPort=%s\nMailHostName=filter%s.bench.test\nMaxConnectionsPerIp=0\n[LocalDomains]\n0=dst.bench.test\n[ProxyFrom]\n0=127.0.0.2\n' \
    "${FILTER_PORTS[$i]}" $SINK_PORT "$i" > "$WORK/home$i/quibo.ini"
  build/quibo --headless --home "$WORK/home$i" > "$WORK/quibo$i.out" 2>&1 &
  FILTER_PIDS+=($!); PIDS+=($!)
  wait_port "${FILTER_PORTS[$i]}"
done
# The balancer connects from 127.0.0.2, the one address the filters take PROXY headers from.
cat > "$WORK/haproxy.cfg" <<CFG
global
    maxconn 4096
defaults
    mode tcp
    timeout connect 5s
    timeout client 60s
    timeout server 60s
frontend smtp
    bind 127.0.0.1:$BALANCER_PORT
    default_backend filters
backend filters
    balance roundrobin
    default-server send-proxy-v2 source 127.0.0.2
    server filter1 127.0.0.1:${FILTER_PORTS[0]}
    server filter2 127.0.0.1:${FILTER_PORTS[1]}
CFG
haproxy -f "$WORK/haproxy.cfg" -db > "$WORK/haproxy.log" 2>&1 &
HAPROXY_PID=$!; PIDS+=($HAPROXY_PID)
wait_port $BALANCER_PORT

task_ms() { awk -F, '/task-clock/ { print $1 }' "$1"; }
# run PORT PIDS...: "rate lost cpu_ms_per_msg(each pid, space separated)"
run() {
  local port=$1; shift
  local before after t0 t1 perfs=() i=0
  before=$(sink_count); before=${before:-0}
  for pid in "$@"; do perf stat -x, -e task-clock -p "$pid" -o "$WORK/p$i.perf" & perfs+=($!); i=$((i + 1)); done
  sleep 0.3
  t0=$(date +%s.%N)
  timeout 300 smtp-source -s "$CONC" -m "$N" -l "$SIZE" -M client.bench.test -f sender@src.bench.test \
    -t rcpt@dst.bench.test 127.0.0.1:"$port"
  t1=$(date +%s.%N)
  for _ in $(seq 50); do after=$(sink_count); [ $((${after:-0} - before)) -ge "$N" ] && break; sleep 0.1; done
  kill -INT "${perfs[@]}"; wait "${perfs[@]}" 2>/dev/null || true
  local cpus=""
  for j in $(seq 0 $((i - 1))); do cpus+=" $(printf '%.3f' "$(echo "$(task_ms "$WORK/p$j.perf") / $N" | bc -l)")"; done
  printf '%.1f %d%s\n' "$(echo "$N/($t1-$t0)" | bc -l)" $((N - (${after:-0} - before))) "$cpus"
}

log "=== farm $(date -u +%FT%TZ) $(nproc) cores, N=$N SIZE=$SIZE CONC=$CONC RUNS=$RUNS, $(haproxy -v | head -1 | cut -d' ' -f1-3)"
one=""; two=""
for r in $(seq "$RUNS"); do
  read -r rate lost q <<<"$(run "${FILTER_PORTS[0]}" "${FILTER_PIDS[0]}")"
  one+=" $rate"
  log "one filter run $r: $rate msg/s, lost $lost, quibo $q ms CPU per msg"
  read -r rate lost q1 q2 h <<<"$(run $BALANCER_PORT "${FILTER_PIDS[0]}" "${FILTER_PIDS[1]}" "$HAPROXY_PID")"
  two+=" $rate"
  log "two filters behind haproxy run $r: $rate msg/s, lost $lost, quibo $q1 + $q2 ms, haproxy $h ms CPU per msg"
done
log "one filter median: $(echo $one | median) msg/s ($(echo $one | spread)); two behind haproxy median: $(echo $two | median) msg/s ($(echo $two | spread))"
