#!/usr/bin/env bash
# A directory harvest against a next hop that knows its users, loopback only:
# bench/harvest.py runs SESSIONS sessions (CONC at once) of RCPTS unknown
# recipients each through the filter to smtp-sink, which refuses every RCPT
# with 5xx. With RecipientCheck=live each guess is refused at RCPT; with
# RecipientCheck=end each session's guesses are taken, its message is received
# and then refused at the end of the data. For each setting, RUNS times: the
# filter's CPU (user + system, /proc/PID/stat) per refused recipient and per
# session, and the replies by code; then the median of the runs with their
# spread. Installs Debian's postfix (smtp-sink, never started) where missing.
# Usage: bench/harvest.sh   (SESSIONS=1000 RCPTS=10 CONC=10 SIZE=5120 RUNS=3 CHECKS="live end")
set -euo pipefail
cd "$(dirname "$0")/.."
SESSIONS=${SESSIONS:-1000}; RCPTS=${RCPTS:-10}; CONC=${CONC:-10}; SIZE=${SIZE:-5120}; RUNS=${RUNS:-3}
CHECKS=${CHECKS:-"live end"}
SINK_PORT=2546; QUIBO_PORT=2547
OUT=${OUT:-bench/results.txt}
source bench/common.sh
bench_setup harvest

SINK_PID=""; QUIBO_PID=""
stop_quibo() { [ -n "$QUIBO_PID" ] && kill "$QUIBO_PID" 2>/dev/null && wait "$QUIBO_PID" 2>/dev/null || true; QUIBO_PID=""; }
cleanup() {
  stop_quibo
  [ -n "$SINK_PID" ] && kill -9 "$SINK_PID" 2>/dev/null && wait "$SINK_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
TICK_MS=$(echo "1000 / $(getconf CLK_TCK)" | bc -l)

smtp-sink -u postfix -f RCPT -c 127.0.0.1:$SINK_PORT 1024 > "$WORK/sink.log" 2>&1 &
SINK_PID=$!
wait_port $SINK_PORT

log "=== harvest $(date -u +%FT%TZ) $(nproc) cores, $SESSIONS sessions x $RCPTS unknown recipients, CONC=$CONC SIZE=$SIZE RUNS=$RUNS"
for check in $CHECKS; do
  rm -rf "$WORK/home"; mkdir -p "$WORK/home"
  # The harvest bound is the default's; every session stays within it.
  printf '[Settings]\nListenIP=127.0.0.1\nListenPort=%s\nOutgoingIP=127.0.0.1\nOutgoingPort=%s\nMailHostName=filter.bench.test\nMaxConnectionsPerIp=0\nRecipientCheck=%s\n[LocalDomains]\n0=dst.bench.test\n' \
    $QUIBO_PORT $SINK_PORT "$check" > "$WORK/home/quibo.ini"
  build/quibo --home "$WORK/home" > "$WORK/quibo.out" 2>&1 &
  QUIBO_PID=$!
  wait_port $QUIBO_PORT
  per_rcpt=""; per_session=""
  for r in $(seq "$RUNS"); do
    c0=$(ticks "$QUIBO_PID"); t0=$(date +%s.%N)
    read -r r2 r4 r5 d2 d4 d5 <<<"$(python3 bench/harvest.py $QUIBO_PORT "$SESSIONS" "$RCPTS" "$CONC" "$SIZE")"
    t1=$(date +%s.%N); c1=$(ticks "$QUIBO_PID")
    ms=$(echo "($c1 - $c0) * $TICK_MS" | bc -l)
    refused=$((SESSIONS * RCPTS))
    per_rcpt+=" $(printf '%.4f' "$(echo "$ms / $refused" | bc -l)")"
    per_session+=" $(printf '%.3f' "$(echo "$ms / $SESSIONS" | bc -l)")"
    log "$(printf 'RecipientCheck=%-4s run %s: %.1f s, filter CPU %.0f ms = %s ms per refused recipient, %s ms per session; RCPT 2xx/4xx/5xx %s/%s/%s, end of data 2xx/4xx/5xx %s/%s/%s' \
      "$check" "$r" "$(echo "$t1 - $t0" | bc -l)" "$ms" "${per_rcpt##* }" "${per_session##* }" "$r2" "$r4" "$r5" "$d2" "$d4" "$d5")"
  done
  log "$(printf 'RecipientCheck=%-4s median: filter CPU %s ms per refused recipient (%s), %s ms per session (%s)' \
    "$check" "$(echo $per_rcpt | median)" "$(echo $per_rcpt | spread)" "$(echo $per_session | median)" "$(echo $per_session | spread)")"
  stop_quibo
done
