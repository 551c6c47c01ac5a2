#!/usr/bin/env bash
# What STARTTLS costs the filter, loopback only: tls_load -> quibo -> tls_load --sink
# (bench/tls_load, built here; Postfix's smtp-source and smtp-sink have no TLS).
#  matrix:    messages/s and the filter's CPU per message (perf stat -e task-clock)
#             at each concurrency of CONCS, one connection per message, SIZE-byte
#             messages, with STARTTLS on neither side ("none"), towards the senders
#             only ("sender": TlsCertificate, OutgoingTls=none) and on both sides
#             ("both": OutgoingTls=encrypt towards a sink that offers STARTTLS);
#             ECDSA P-256. Lost = messages the sink did not count.
#  handshake: the filter's CPU per TLS connection (greeting, EHLO, STARTTLS, EHLO)
#             minus per plain one, over HANDSHAKES connections, against openssl
#             s_server's CPU per connection under openssl s_time -new with the same
#             certificate; RSA-2048 against ECDSA P-256, with messages/s and CPU
#             per message at concurrency 10 on both sides for each key.
#  idle:      the filter's resident memory per idle connection at IDLE connections,
#             plain and after STARTTLS.
# Each figure RUNS times, then the median and the spread. Results are appended to
# OUT (bench/results.txt). A smoke test: N=50 RUNS=1 CONCS=1 HANDSHAKES=50 IDLE=50
# OUT=/tmp/tls-smoke.txt bench/tls.sh; SCENARIOS and PARTS pick what runs.
# Installs what bench/common.sh installs (linux-perf, bc, postfix's tools unused here).
# Usage: bench/tls.sh   (N=2000 SIZE=5120 CONCS="1 10 50" RUNS=3 HANDSHAKES=2000 IDLE=10000
#                        SCENARIOS="none sender both" PARTS="matrix handshake idle")
# shellcheck disable=SC2046 # $(starttls_flag X) is meant to split: no word or one
set -euo pipefail
cd "$(dirname "$0")/.."
N=${N:-2000}; SIZE=${SIZE:-5120}; CONCS=${CONCS:-"1 10 50"}; RUNS=${RUNS:-3}
HANDSHAKES=${HANDSHAKES:-2000}; IDLE=${IDLE:-10000}
SCENARIOS=${SCENARIOS:-"none sender both"}; PARTS=${PARTS:-"matrix handshake idle"}
SINK_PORT=2546; QUIBO_PORT=2547; SERVER_PORT=2548
OUT=${OUT:-bench/results.txt}
source bench/common.sh
bench_setup tls
build_tls_load
ulimit -n "$(ulimit -Hn)" # IDLE connections need the descriptors, in the filter and in tls_load

# certificate NAME KEY-OPTIONS...: a self-signed certificate for 127.0.0.1 in $WORK/NAME.pem and .key
certificate() {
  local name=$1; shift
  openssl req -x509 -nodes -days 30 -subj /CN=localhost -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
    "$@" -keyout "$WORK/$name.key" -out "$WORK/$name.pem" 2>/dev/null
}
certificate ecdsa -newkey ec -pkeyopt ec_paramgen_curve:P-256
certificate rsa -newkey rsa:2048

SINK_PID=""; QUIBO_PID=""; SERVER_PID=""; IDLE_PID=""
cleanup() { # every step runs, whatever the one before it returned
  for pid in "$IDLE_PID" "$QUIBO_PID" "$SERVER_PID" "$SINK_PID"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

"$LOAD" --sink --port $SINK_PORT --cert "$WORK/ecdsa.pem" --key "$WORK/ecdsa.key" > "$WORK/sink.out" &
SINK_PID=$!
wait_port $SINK_PORT
# sink_counts: "messages tls-sessions" the sink has taken so far
sink_counts() {
  local lines; lines=$(wc -l < "$WORK/sink.out")
  kill -USR1 "$SINK_PID"
  for _ in $(seq 50); do [ "$(wc -l < "$WORK/sink.out")" -gt "$lines" ] && break; sleep 0.02; done
  tail -1 "$WORK/sink.out" | awk '{ print $2, $6 }'
}

# start_quibo KEY OUTGOING: the filter with STARTTLS towards senders by certificate KEY (or none), OutgoingTls=OUTGOING
start_quibo() {
  stop_quibo
  rm -rf "${WORK:?}/home"; mkdir -p "$WORK/home"
  local tls=""
  [ "$1" != none ] && tls="TlsCertificate=$WORK/$1.pem\nTlsKey=$WORK/$1.key\n"
  printf '[Settings]\nListenIP=127.0.0.1\nListenPort=%s\nOutgoingIP=127.0.0.1\nOutgoingPort=%s\nMailHostName=filter.bench.test\nMaxConnectionsPerIp=0\nOutgoingTls=%s\n%b[LocalDomains]\n0=dst.bench.test\n' \
    $QUIBO_PORT $SINK_PORT "$2" "$tls" > "$WORK/home/quibo.ini"
  build/quibo --headless --home "$WORK/home" > "$WORK/quibo.out" 2>&1 &
  QUIBO_PID=$!
  wait_port $QUIBO_PORT
}
stop_quibo() {
  [ -n "$QUIBO_PID" ] && kill "$QUIBO_PID" && wait "$QUIBO_PID" 2>/dev/null || true
  QUIBO_PID=""
}

# measured PID FILE COMMAND...: runs COMMAND while perf counts PID's task-clock into FILE
measured() {
  local pid=$1 file=$2; shift 2
  perf stat -x, -e task-clock -p "$pid" -o "$file" &
  local perf=$!
  sleep 0.3
  local status=0
  "$@" || status=$?
  sleep 0.3 # the last replies and closes reach the filter
  kill -INT $perf; wait $perf 2>/dev/null || true
  return $status
}
# starttls_flag 0/1: tls_load's option for STARTTLS, or no word
starttls_flag() { [ "$1" = 1 ] && echo --starttls || true; }
task_ms() { awk -F, '/task-clock/ { print $1 }' "$1"; }

# send CONC STARTTLS(0/1): "rate failures quibo_ms_per_msg lost sink_tls_sessions"; lost: answered 250, never sunk
send() {
  local before_msgs before_tls after_msgs after_tls
  read -r before_msgs before_tls <<<"$(sink_counts)"
  measured "$QUIBO_PID" "$WORK/quibo.perf" timeout 600 "$LOAD" --host 127.0.0.1 --port $QUIBO_PORT --messages "$N" \
    --concurrency "$1" --size "$SIZE" $(starttls_flag "$2") > "$WORK/send.out" 2>> "$WORK/send.err" || true
  local rate failures
  read -r rate failures <<<"$(awk '{ print $8, $4 }' "$WORK/send.out")"
  rate=${rate:-0}; failures=${failures:-$N}
  for _ in $(seq 50); do
    read -r after_msgs after_tls <<<"$(sink_counts)"
    [ $((after_msgs - before_msgs)) -ge $((N - failures)) ] && break
    sleep 0.1
  done
  printf '%.1f %d %.3f %d %d\n' "$rate" "$failures" "$(echo "$(task_ms "$WORK/quibo.perf") / $N" | bc -l)" \
    $((N - failures - (after_msgs - before_msgs))) $((after_tls - before_tls))
}

# matrix_line LABEL CONC STARTTLS: RUNS runs and their median with spread
matrix_line() {
  local label=$1 conc=$2 starttls=$3 rates="" cpus="" lost=0 failures=0 rate f ms l t
  for r in $(seq "$RUNS"); do
    read -r rate f ms l t <<<"$(send "$conc" "$starttls")"
    rates+=" $rate"; cpus+=" $ms"; lost=$((lost + l)); failures=$((failures + f))
    log "$(printf '%s conc=%-3s run %s: %8.1f msg/s, quibo %s ms CPU per msg, failures %s, lost %s, sink TLS sessions %s' \
      "$label" "$conc" "$r" "$rate" "$ms" "$f" "$l" "$t")"
  done
  log "$(printf '%s conc=%-3s median: %s msg/s (%s), quibo %s ms CPU per msg (%s); failures %s, lost %s' "$label" "$conc" \
    "$(echo "$rates" | median)" "$(echo "$rates" | spread)" "$(echo "$cpus" | median)" "$(echo "$cpus" | spread)" "$failures" "$lost")"
}

# connections_ms STARTTLS(0/1): the filter's CPU per connection opened by tls_load --idle HANDSHAKES and closed,
# and the connections that failed: "ms failures"
connections_ms() {
  measured "$QUIBO_PID" "$WORK/quibo.perf" timeout 600 "$LOAD" --idle "$HANDSHAKES" --host 127.0.0.1 --port $QUIBO_PORT \
    --concurrency 10 --hold 1 $(starttls_flag "$1") > "$WORK/idle.out" 2>> "$WORK/idle.err" || true
  local failures; failures=$(awk '{ print $4 }' "$WORK/idle.out")
  echo "$(echo "$(task_ms "$WORK/quibo.perf") / $HANDSHAKES" | bc -l) ${failures:-$HANDSHAKES}"
}

# s_server_ms KEY: openssl s_server's CPU per connection under s_time -new, and the connections made
s_server_ms() {
  openssl s_server -quiet -accept 127.0.0.1:$SERVER_PORT -cert "$WORK/$1.pem" -key "$WORK/$1.key" > /dev/null 2>&1 &
  SERVER_PID=$!
  wait_port $SERVER_PORT
  local seconds=$((HANDSHAKES / 500 + 1))
  measured "$SERVER_PID" "$WORK/server.perf" openssl s_time -connect 127.0.0.1:$SERVER_PORT -new -time $seconds \
    > "$WORK/s_time.out" 2>&1 || true
  kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=""
  local made; made=$(awk '/connections in .* real seconds/ { print $1 }' "$WORK/s_time.out")
  echo "$(echo "$(task_ms "$WORK/server.perf") / ${made:-1}" | bc -l) ${made:-0}"
}

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
# idle_bytes STARTTLS(0/1): a fresh filter's growth in resident memory per connection with IDLE idle connections:
# "bytes connections failures rss_before_kb rss_after_kb"
idle_bytes() {
  local before after
  start_quibo ecdsa none
  sleep 1
  before=$(rss_kb "$QUIBO_PID")
  "$LOAD" --idle "$IDLE" --host 127.0.0.1 --port $QUIBO_PORT --concurrency 10 --hold 3600 \
    $(starttls_flag "$1") > "$WORK/idle.out" 2>> "$WORK/idle.err" &
  IDLE_PID=$!
  until grep -q established "$WORK/idle.out" || ! kill -0 $IDLE_PID 2>/dev/null; do sleep 0.2; done
  sleep 2
  after=$(rss_kb "$QUIBO_PID")
  kill $IDLE_PID; wait $IDLE_PID 2>/dev/null || true; IDLE_PID=""
  stop_quibo # this runs in a subshell: the filter it started goes with it
  local established failures
  read -r established failures <<<"$(awk '{ print $2, $4 }' "$WORK/idle.out")"
  established=${established:-0}
  echo "$(( (after - before) * 1024 / (established > 0 ? established : 1) )) $established ${failures:-$IDLE} $before $after"
}

log "=== tls $(date -u +%FT%TZ) $(nproc) cores, N=$N SIZE=$SIZE RUNS=$RUNS HANDSHAKES=$HANDSHAKES IDLE=$IDLE, $(openssl version | cut -d' ' -f1-2)"

if [[ " $PARTS " == *" matrix "* ]]; then
  for scenario in $SCENARIOS; do
    case $scenario in
      none) start_quibo none none; starttls=0 ;;
      sender) start_quibo ecdsa none; starttls=1 ;;
      both) start_quibo ecdsa encrypt; starttls=1 ;;
      *) echo "unknown scenario $scenario" >&2; exit 2 ;;
    esac
    for c in $CONCS; do matrix_line "tls=$scenario" "$c" $starttls; done
  done
fi

if [[ " $PARTS " == *" handshake "* ]]; then
  for key in ecdsa rsa; do
    start_quibo "$key" encrypt
    quibo=""; server=""
    for r in $(seq "$RUNS"); do
      read -r plain plain_failed <<<"$(connections_ms 0)"
      read -r tls tls_failed <<<"$(connections_ms 1)"
      read -r s made <<<"$(s_server_ms "$key")"
      quibo+=" $(printf '%.3f' "$(echo "$tls - $plain" | bc -l)")"; server+=" $(printf '%.3f' "$s")"
      log "$(printf 'handshake %s run %s: quibo %.3f ms CPU per TLS connection - %.3f per plain one = %.3f ms (failed: %s TLS, %s plain); openssl s_server %.3f ms per connection (%s made by s_time -new)' \
        "$key" "$r" "$tls" "$plain" "$(echo "$tls - $plain" | bc -l)" "$tls_failed" "$plain_failed" "$s" "$made")"
    done
    qm=$(echo "$quibo" | median); sm=$(echo "$server" | median)
    log "$(printf 'handshake %s median: quibo %.3f ms CPU (%s), openssl s_server %.3f ms (%s): %.2f x' "$key" "$qm" \
      "$(echo "$quibo" | spread)" "$sm" "$(echo "$server" | spread)" "$(echo "$qm / $sm" | bc -l)")"
    matrix_line "key=$key tls=both" 10 1
  done
fi

if [[ " $PARTS " == *" idle "* ]]; then
  stop_quibo # each idle run starts a filter of its own
  for starttls in 0 1; do
    label=$([ $starttls = 1 ] && echo "after STARTTLS" || echo plain)
    bytes=""
    for r in $(seq "$RUNS"); do
      read -r b established failed before after <<<"$(idle_bytes $starttls)"
      bytes+=" $b"
      log "idle $label run $r: $established connections ($failed failed), rss ${before} -> ${after} kB, $b bytes per connection"
    done
    log "idle $label median: $(echo "$bytes" | median) bytes per connection ($(echo "$bytes" | spread))"
  done
fi
stop_quibo
