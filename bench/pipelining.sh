#!/usr/bin/env bash
# What command pipelining buys a sender on a slow path, and IPv6 loopback
# against IPv4, loopback only: tls_load (bench/tls_load, built here) -> quibo
# -> tls_load --sink. The slow path is a delaying relay in user space
# (bench/delay/delay_proxy.py, DELAY ms each way: a round trip of twice that),
# because this machine's kernel has no netem queueing discipline. At
# concurrency CONC, RUNS times each in one run: a pipelining client against a
# non-pipelining one over the slow path (SLOW_N messages), and both address
# families straight to the filter's dual-stack socket (N messages), with the
# filter's CPU per message (perf stat -e task-clock). Results go to OUT.
# Usage: bench/pipelining.sh   (N=2000 SLOW_N=300 SIZE=5120 CONC=10 RUNS=3 DELAY=25)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${N:-2000}; SLOW_N=${SLOW_N:-300}; SIZE=${SIZE:-5120}; CONC=${CONC:-10}; RUNS=${RUNS:-3}; DELAY=${DELAY:-25}
SINK_PORT=2570; QUIBO_PORT=2571; SLOW_PORT=2572
OUT=${OUT:-bench/results.txt}
source bench/common.sh
bench_setup pipelining
build_tls_load

PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

"$LOAD" --sink --port $SINK_PORT > "$WORK/sink.out" &
PIDS+=($!)
wait_port $SINK_PORT
mkdir -p "$WORK/home"
printf '[Settings]\nListenIP=All\nListenPort=%s\nOutgoingIP=127.0.0.1\nOutgoingPort=%s\nMailHostName=filter.bench.test\nMaxConnectionsPerIp=0\n[LocalDomains]\n0=dst.bench.test\n' \
  $QUIBO_PORT $SINK_PORT > "$WORK/home/quibo.ini"
build/quibo --headless --home "$WORK/home" > "$WORK/quibo.out" 2>&1 &
QUIBO_PID=$!; PIDS+=($QUIBO_PID)
for _ in $(seq 100); do ss -ltn | grep -q ":$QUIBO_PORT " && break; sleep 0.1; done
python3 bench/delay/delay_proxy.py $SLOW_PORT 127.0.0.1 $QUIBO_PORT "$DELAY" &
PIDS+=($!)
wait_port $SLOW_PORT

# send HOST PORT MESSAGES [--pipelining]: "rate failures quibo_ms_per_msg"
send() {
  local host=$1 port=$2 count=$3; shift 3
  perf stat -x, -e task-clock -p "$QUIBO_PID" -o "$WORK/quibo.perf" &
  local perf=$!
  sleep 0.3
  "$LOAD" --host "$host" --port "$port" --messages "$count" --concurrency "$CONC" --size "$SIZE" "$@" \
    > "$WORK/send.out" 2>> "$WORK/send.err" || true
  kill -INT $perf; wait $perf 2>/dev/null || true
  local rate failures
  read -r rate failures <<<"$(awk '{ print $8, $4 }' "$WORK/send.out")"
  printf '%s %s %.3f\n' "${rate:-0}" "${failures:-$count}" \
    "$(echo "$(awk -F, '/task-clock/ { print $1 }' "$WORK/quibo.perf") / $count" | bc -l)"
}

# line LABEL HOST PORT MESSAGES [--pipelining]: RUNS runs, then the median and spread
line() {
  local label=$1 host=$2 port=$3 count=$4; shift 4
  local rates="" cpus="" failed=0 rate f ms
  for r in $(seq "$RUNS"); do
    read -r rate f ms <<<"$(send "$host" "$port" "$count" "$@")"
    rates+=" $rate"; cpus+=" $ms"; failed=$((failed + f))
    log "$label run $r: $rate msg/s, quibo $ms ms CPU per msg, failures $f"
  done
  log "$label median: $(echo "$rates" | median) msg/s ($(echo "$rates" | spread)), quibo $(echo "$cpus" | median) ms CPU per msg ($(echo "$cpus" | spread)); failures $failed"
}

log "=== pipelining $(date -u +%FT%TZ) $(nproc) cores, CONC=$CONC SIZE=$SIZE RUNS=$RUNS, slow path ${DELAY} ms each way (SLOW_N=$SLOW_N), loopback N=$N"
line "slow path, one command at a time" 127.0.0.1 $SLOW_PORT "$SLOW_N"
line "slow path, pipelining" 127.0.0.1 $SLOW_PORT "$SLOW_N" --pipelining
line "IPv4 loopback" 127.0.0.1 $QUIBO_PORT "$N"
line "IPv6 loopback" ::1 $QUIBO_PORT "$N"
