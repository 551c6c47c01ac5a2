#!/usr/bin/env bash
# Accept-rate and idle-memory benchmark, loopback only, bounded in count and time.
#  1. ceiling: smtp-source -> smtp-sink (5 KB messages, one session per message)
#  2. smtp-source -> quibo (the filter answers 250 once the message is stored)
#  3. resident memory of quibo holding IDLE idle connections
# Usage: bench/accept.sh            (N=2000 SIZE=5120 CONCS="1 10 50" IDLE=2000)
# Needs smtp-source and smtp-sink from Debian's postfix package; installs it without
# starting the system's mail server. Results are appended to bench/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
N=${N:-2000}; SIZE=${SIZE:-5120}; CONCS=${CONCS:-"1 10 50"}; IDLE=${IDLE:-2000}
SINK_PORT=2526; QUIBO_PORT=2528
OUT=bench/results.txt
WORK=$(mktemp -d /tmp/quibo-bench-XXXXXX)

if ! command -v smtp-source >/dev/null; then
  created_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod +x /usr/sbin/policy-rc.d; created_policy=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postfix >/dev/null
  [ $created_policy = 1 ] && rm -f /usr/sbin/policy-rc.d
fi
scripts/build >/dev/null
ulimit -n "$(ulimit -Hn)"  # 2,000 idle connections need the descriptors

SINK_PID=""; QUIBO_PID=""
cleanup() { # every step runs, whatever the one before it returned
  [ -n "$QUIBO_PID" ] && kill "$QUIBO_PID" 2>/dev/null && wait "$QUIBO_PID" 2>/dev/null || true
  [ -n "$SINK_PID" ] && kill "$SINK_PID" 2>/dev/null && wait "$SINK_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
log() { echo "$*" | tee -a "$OUT"; }
wait_port() { for _ in $(seq 100); do ss -ltn | grep -q "127.0.0.1:$1 " && return 0; sleep 0.1; done; return 1; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

# measure LABEL PORT CONC: messages per second as smtp-source sees them
measure() {
  local t0 t1
  t0=$(date +%s.%N)
  timeout 300 smtp-source -s "$3" -m "$N" -l "$SIZE" -M client.bench.test -f sender@src.bench.test \
    -t rcpt@dst.bench.test 127.0.0.1:"$2"
  t1=$(date +%s.%N)
  local rate; rate=$(echo "$N/($t1-$t0)" | bc -l)
  log >&2 "$(printf '%-18s conc=%-3s n=%s size=%s  %8.1f msg/s' "$1" "$3" "$N" "$SIZE" "$rate")"
  echo "$rate"
}

log "=== $(date -u +%FT%TZ) $(nproc) cores, quibo $(build/quibo --version | awk '{print $NF}')"
smtp-sink -u postfix -c -4 127.0.0.1:$SINK_PORT 1024 > "$WORK/sink.log" 2>&1 &
SINK_PID=$!
wait_port $SINK_PORT
declare -A ceiling
for c in $CONCS; do ceiling[$c]=$(measure "direct->smtp-sink" $SINK_PORT "$c" | tail -1); done

mkdir -p "$WORK/home"
printf '[Settings]\nListenIP=127.0.0.1\nListenPort=%s\nOutgoingIP=127.0.0.1\nOutgoingPort=%s\nMaxConnectionsPerIp=0\n[LocalDomains]\n0=dst.bench.test\n' \
  $QUIBO_PORT $SINK_PORT > "$WORK/home/quibo.ini"
build/quibo --home "$WORK/home" > "$WORK/quibo.out" 2>&1 &
QUIBO_PID=$!
wait_port $QUIBO_PORT
for c in $CONCS; do
  rate=$(measure "smtp-source->quibo" $QUIBO_PORT "$c" | tail -1)
  log "$(printf '   quibo/ceiling at conc=%s: %.0f %%' "$c" "$(echo "100*$rate/${ceiling[$c]}" | bc -l)")"
done
log "temp files left: $(find "$WORK/home/temp" -type f 2>/dev/null | wc -l)"

sleep 1
before=$(rss_kb $QUIBO_PID)
python3 bench/idle_connections.py $QUIBO_PORT "$IDLE" "$QUIBO_PID" > "$WORK/idle.txt"
read -r after greet_median greet_max < "$WORK/idle.txt"
log "idle: rss before=${before} kB with ${IDLE} idle connections=${after} kB  per connection: $(( (after - before) * 1024 / IDLE )) bytes; a new connection then greeted in ${greet_median} ms (slowest of 20: ${greet_max} ms)"
