#!/usr/bin/env bash
# What one relayed message costs, loopback only: smtp-source -> quibo -> smtp-sink
# (SIZE-byte messages, one session per message), at each concurrency of CONCS,
# RUNS times, next to smtp-source straight into smtp-sink. For every run it
# prints the rate, and from `perf stat -e task-clock,context-switches` on the
# process, CPU milliseconds and context switches per message for the filter and
# for smtp-sink; then the median of the runs with their spread. Messages the
# sink did not count are reported as lost. Temp files go to BENCH_TMP's disk
# (default /tmp). QUIBO_INI adds settings. With SCANNER=1 every message is
# scanned by clamdscan --fdpass against a clamd of the bench's own (Unix
# socket, a one-signature database), the scanner's CPU (the filter's children,
# and clamd) is shown apart, and clamdscan alone on N stored messages of the
# same size is measured in the same run. With SCANNER=clamd the filter asks
# that clamd itself (ClamdSocket) instead of running clamdscan. The whole
# measurement runs once for each RecipientCheck of CHECKS (recipients asked
# of the sink at RCPT, or at the end of the data). Installs Debian's postfix (for
# smtp-source and smtp-sink, never started) and linux-perf.
# Usage: bench/relay-cost.sh   (N=2000 SIZE=5120 CONCS="1 10 50" RUNS=3 SCANNER=0|1|clamd CHECKS="live end")
set -euo pipefail
cd "$(dirname "$0")/.."
N=${N:-2000}; SIZE=${SIZE:-5120}; CONCS=${CONCS:-"1 10 50"}; RUNS=${RUNS:-3}; CHECKS=${CHECKS:-"live end"}
SINK_PORT=2536; QUIBO_PORT=2537
OUT=${OUT:-bench/results.txt}
source bench/common.sh
bench_setup cost

CLAMD_PID=""
if [ "${SCANNER:-0}" != 0 ]; then
  mkdir -p "$WORK/db"
  echo 'Eicar-Test-Signature:0:*:45494341522d5354414e444152442d414e544956495255532d544553542d46494c45' > "$WORK/db/eicar.ndb"
  printf 'LocalSocket %s/clamd.sock\nDatabaseDirectory %s/db\nTemporaryDirectory %s\nForeground yes\nLogFile %s/clamd.log\n' \
    "$WORK" "$WORK" "$WORK" "$WORK" > "$WORK/clamd.conf"
  clamd --config-file="$WORK/clamd.conf" >/dev/null 2>&1 &
  CLAMD_PID=$!
  for _ in $(seq 100); do [ -S "$WORK/clamd.sock" ] && break; sleep 0.1; done
  if [ "$SCANNER" = clamd ]; then
    QUIBO_INI="[VirusCheck]\nDoVirusCheck=1\nClamdSocket=$WORK/clamd.sock\n${QUIBO_INI:-}"
  else
    QUIBO_INI="[VirusCheck]\nDoVirusCheck=1\nResultCode=1\nVirusProgram=clamdscan --fdpass --no-summary --config-file=$WORK/clamd.conf \"%s\"\n${QUIBO_INI:-}"
  fi
fi
# cpu_ticks PID FIELDS: the process's CPU in clock ticks (fields of /proc/PID/stat: 14 15 own, 16 17 reaped children)
cpu_ticks() { awk -v f="$2" '{ split(f, i, " "); t = 0; for (k in i) t += $(i[k]); print t }' "/proc/$1/stat"; }
TICK_MS=$(echo "1000 / $(getconf CLK_TCK)" | bc -l)

SINK_PID=""; QUIBO_PID=""
stop_quibo() { [ -n "$QUIBO_PID" ] && kill "$QUIBO_PID" 2>/dev/null && wait "$QUIBO_PID" 2>/dev/null || true; QUIBO_PID=""; }
cleanup() { # every step runs, whatever the one before it returned
  stop_quibo
  [ -n "$SINK_PID" ] && kill -9 "$SINK_PID" 2>/dev/null && wait "$SINK_PID" 2>/dev/null || true
  [ -n "$CLAMD_PID" ] && kill "$CLAMD_PID" 2>/dev/null && wait "$CLAMD_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
sink_count() { tr '\r' '\n' < "$WORK/sink.log" | sed -n 's/.*mesg=\([0-9]*\).*/\1/p' | tail -1; }

smtp-sink -u postfix -c 127.0.0.1:$SINK_PORT 1024 > "$WORK/sink.log" 2>&1 &
SINK_PID=$!
wait_port $SINK_PORT
# start_quibo CHECK: the filter with RecipientCheck=CHECK and QUIBO_INI's settings, in a fresh home folder.
start_quibo() {
  rm -rf "$WORK/home"; mkdir -p "$WORK/home"
  printf '[Settings]\nListenIP=127.0.0.1\nListenPort=%s\nOutgoingIP=127.0.0.1\nOutgoingPort=%s\nMailHostName=filter.bench.test\nMaxConnectionsPerIp=0\nRecipientCheck=%s\n%b\n[LocalDomains]\n0=dst.bench.test\n' \
    $QUIBO_PORT $SINK_PORT "$1" "${QUIBO_INI:-}" > "$WORK/home/quibo.ini"
  build/quibo --home "$WORK/home" > "$WORK/quibo.out" 2>&1 &
  QUIBO_PID=$!
  wait_port $QUIBO_PORT
}

# perf_counts FILE: "task-clock-ms context-switches"
perf_counts() { awk -F, '/task-clock/ { ms = $1 } /context-switches/ { cs = $1 } END { print ms, cs }' "$1"; }

# run PORT CONC: "rate lost quibo_ms quibo_cs sink_ms sink_cs" (per message)
run() {
  local port=$1 conc=$2 before after t0 t1
  before=$(sink_count); before=${before:-0}
  perf stat -x, -e task-clock,context-switches -p "$QUIBO_PID" -o "$WORK/quibo.perf" &
  local qperf=$!
  perf stat -x, -e task-clock,context-switches -p "$SINK_PID" -o "$WORK/sink.perf" &
  local sperf=$!
  sleep 0.3
  local children0 clamd0=0
  children0=$(cpu_ticks "$QUIBO_PID" "16 17")
  [ -n "$CLAMD_PID" ] && clamd0=$(cpu_ticks "$CLAMD_PID" "14 15")
  t0=$(date +%s.%N)
  timeout 300 smtp-source -s "$conc" -m "$N" -l "$SIZE" -M client.bench.test -f sender@src.bench.test \
    -t rcpt@dst.bench.test 127.0.0.1:"$port"
  t1=$(date +%s.%N)
  for _ in $(seq 50); do after=$(sink_count); [ $((${after:-0} - before)) -ge "$N" ] && break; sleep 0.1; done
  kill -INT $qperf $sperf; wait $qperf $sperf 2>/dev/null || true
  local children1 clamd1=0
  children1=$(cpu_ticks "$QUIBO_PID" "16 17")
  [ -n "$CLAMD_PID" ] && clamd1=$(cpu_ticks "$CLAMD_PID" "14 15")
  # perf follows the filter's children too: their CPU is the scanner's, not the filter's own
  CHILDREN_MS=$(echo "($children1 - $children0) * $TICK_MS / $N" | bc -l)
  SCANNER_MS=$(echo "$CHILDREN_MS + ($clamd1 - $clamd0) * $TICK_MS / $N" | bc -l)
  read -r qms qcs <<<"$(perf_counts "$WORK/quibo.perf")"
  read -r sms scs <<<"$(perf_counts "$WORK/sink.perf")"
  [ "$port" = "$SINK_PORT" ] && { qms=0; qcs=0; }
  printf '%.1f %d %.3f %.2f %.3f %.2f %.3f\n' "$(echo "$N/($t1-$t0)" | bc -l)" $((N - (${after:-0} - before))) \
    "$(echo "$qms/$N - $CHILDREN_MS" | bc -l)" "$(echo "$qcs/$N" | bc -l)" "$(echo "$sms/$N" | bc -l)" "$(echo "$scs/$N" | bc -l)" \
    "$SCANNER_MS"
}

for check in $CHECKS; do
start_quibo "$check"
log "=== relay cost $(date -u +%FT%TZ) $(nproc) cores, N=$N SIZE=$SIZE RUNS=$RUNS temp on $(df --output=fstype "$WORK" | tail -1) RecipientCheck=$check ${QUIBO_INI:+settings: $QUIBO_INI}"
for c in $CONCS; do
  d_rates=""; d_ms=""; q_rates=""; q_ms=""; q_cs=""; s_ms=""; s_cs=""; lost=0
  for r in $(seq "$RUNS"); do
    read -r rate _ _ _ dms dcs _ <<<"$(run $SINK_PORT "$c")"
    d_rates+=" $rate"; d_ms+=" $dms"
    read -r rate l qm qc sm sc scan <<<"$(run $QUIBO_PORT "$c")"
    q_rates+=" $rate"; q_ms+=" $qm"; q_cs+=" $qc"; s_ms+=" $sm"; s_cs+=" $sc"; lost=$((lost + l))
    log "$(printf 'conc=%-3s run %s: direct %8.1f/s (sink %s ms %s cs)  quibo %8.1f/s  quibo %s ms %s cs per msg, sink %s ms %s cs per msg, lost %s%s' \
      "$c" "$r" "${d_rates##* }" "$dms" "$dcs" "$rate" "$qm" "$qc" "$sm" "$sc" "$l" \
      "$([ -n "$CLAMD_PID" ] && printf ', scanner (clamdscan + clamd) %s ms per msg' "$scan")")"
  done
  dm=$(echo $d_rates | median); qmr=$(echo $q_rates | median); qcpu=$(echo $q_ms | median); dcpu=$(echo $d_ms | median)
  log "$(printf 'conc=%-3s median: direct %s/s (%s), quibo %s/s (%s) = %.0f %% of direct; quibo CPU %s ms/msg (%s) = %.2f x smtp-sink'"'"'s %s ms for one dialogue (relay run: %s); quibo %s cs/msg (%s); lost %s' \
    "$c" "$dm" "$(echo $d_rates | spread)" "$qmr" "$(echo $q_rates | spread)" "$(echo "100*$qmr/$dm" | bc -l)" \
    "$qcpu" "$(echo $q_ms | spread)" "$(echo "$qcpu/$dcpu" | bc -l)" "$dcpu" "$(echo $s_ms | median)" \
    "$(echo $q_cs | median)" "$(echo $q_cs | spread)" "$lost")"
done
stop_quibo
done

if [ -n "$CLAMD_PID" ]; then # clamdscan alone on stored messages of the same size
  mkdir -p "$WORK/mail"
  for i in $(seq -w 1 200); do
    { printf 'From: sender@src.bench.test\r\nSubject: message %s\r\n\r\n' "$i"; head -c "$SIZE" /dev/zero | tr '\0' 'x' | fold -w 76 | sed 's/$/\r/'; printf '.\r\n'; } > "$WORK/mail/$i"
  done
  for r in $(seq "$RUNS"); do
    c0=$(cpu_ticks "$CLAMD_PID" "14 15"); t0=$(date +%s.%N)
    perf stat -x, -e task-clock -o "$WORK/alone.perf" -- sh -c 'for f in "$1"/mail/*; do clamdscan --fdpass --no-summary --config-file="$1/clamd.conf" "$f" >/dev/null; done' sh "$WORK"
    t1=$(date +%s.%N); c1=$(cpu_ticks "$CLAMD_PID" "14 15")
    log "$(awk -F, -v t0="$t0" -v t1="$t1" -v d="$(echo "($c1 - $c0) * $TICK_MS" | bc -l)" '/task-clock/ {
      printf "clamdscan alone run: %.1f msg/s, %.3f ms CPU per msg (clamdscan) + %.3f ms (clamd)", 200 / (t1 - t0), $1 / 200, d / 200 }' "$WORK/alone.perf") (run $r)"
  done
fi
