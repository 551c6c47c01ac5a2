#!/usr/bin/env bash
# Policy benchmark, loopback only, with three DNS blacklist zones on a scripted
# DNS server (bench/policy_bench.py; zone delays 1, 2 and 3 ms):
#  (a) the time the lookups add to MAIL FROM (median and 99th percentile over N
#      sessions, against the same filter without zones), next to the DNS server's
#      own answer time for the slowest zone; and with one silent zone, against
#      DnsTimeout (1 s here);
#  (b) sessions per second and the filter's CPU per session when the host is
#      listed and the action is "Reject spam" (the 521 at MAIL, concurrency CONC),
#      against accepting and relaying a 5 KB message to smtp-sink in the same run.
# Each figure is taken RUNS times. Installs Debian's postfix (for smtp-sink, never
# started as a mail server) and linux-perf. Appends to bench/results.txt.
# Usage: bench/policy.sh   (N=1000 LOAD=5000 CONC=50 RUNS=3)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${N:-1000}; LOAD=${LOAD:-5000}; CONC=${CONC:-50}; RUNS=${RUNS:-3}
DNS_PORT=2553; QUIBO_PORT=2530; SINK_PORT=2531
OUT=bench/results.txt
WORK=$(mktemp -d /tmp/quibo-policy-bench-XXXXXX)

source bench/common.sh
install_peers
scripts/build >/dev/null

PIDS=()
QUIBO_PID=""
cleanup() { # every step runs, whatever the one before it returned
  [ -n "$QUIBO_PID" ] && kill "$QUIBO_PID" 2>/dev/null && wait "$QUIBO_PID" 2>/dev/null || true
  for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

python3 bench/policy_bench.py dns $DNS_PORT z1.test:1 z2.test:2 z3.test:3 silent.test:0:silent &
PIDS+=($!)
smtp-sink -u postfix -c 127.0.0.1:$SINK_PORT 1000 >/dev/null &
PIDS+=($!)
sleep 1

# start_quibo EXTRA_INI: the filter on QUIBO_PORT in a fresh home folder
start_quibo() {
  local home=$WORK/home
  rm -rf "$home"; mkdir -p "$home"
  printf '[Settings]\nListenIP=127.0.0.1\nListenPort=%s\nOutgoingIP=127.0.0.1\nOutgoingPort=%s\nDnsIP=127.0.0.1\nDnsPort=%s\nDnsTimeout=1\nMaxConnectionsPerIp=0\nMailHostName=filter.bench.test\n%b\n[LocalDomains]\n0=local.example\n[FromAddresses]\n0=friend@bench.test\n' \
    $QUIBO_PORT $SINK_PORT $DNS_PORT "$1" > "$home/quibo.ini"
  build/quibo --home "$home" > "$home/stdout.txt" 2>&1 &
  QUIBO_PID=$!
  wait_port $QUIBO_PORT
}
stop_quibo() { kill "$QUIBO_PID"; wait "$QUIBO_PID" 2>/dev/null || true; QUIBO_PID=""; }
three_zones='[Blacklists]\n0=z1.test\n1=z2.test\n2=z3.test'

log "=== policy $(date -u +%Y-%m-%dT%H:%M:%SZ) $(nproc) cores, N=$N LOAD=$LOAD CONC=$CONC RUNS=$RUNS"
slowest=$(python3 bench/policy_bench.py rtt $DNS_PORT 1.0.0.127.z3.test $N)
log "dns server alone, slowest zone (3 ms): median/p99 ms $slowest"

base=""; three=""; added=""; p99s=""
for run in $(seq "$RUNS"); do
  start_quibo ""
  b=$(python3 bench/policy_bench.py mail $QUIBO_PORT $N); stop_quibo
  start_quibo "$three_zones"
  t=$(python3 bench/policy_bench.py mail $QUIBO_PORT $N); stop_quibo
  log "run $run: MAIL median/p99 ms without zones $b, with three zones $t"
  base+=" ${b% *}"; three+=" ${t% *}"; p99s+=" ${t#* }"
  added+=" $(echo "${t% *} - ${b% *}" | bc -l)"
done
log "(a) added to MAIL by three zones: median $(echo $added | median) ms (runs $(echo $added | spread)); p99 with zones $(echo $p99s | median) ms; slowest zone alone ${slowest% *} ms"
start_quibo '[Blacklists]\n0=z1.test\n1=z2.test\n2=silent.test'
log "(a) one silent zone, DnsTimeout=1 s: MAIL median/p99 ms $(python3 bench/policy_bench.py mail $QUIBO_PORT 20)"
stop_quibo

# cpu_load EXTRA_INI MODE: prints "rate good cpu_ms_per_session"
cpu_load() {
  start_quibo "$1"
  perf stat -x, -e task-clock -p "$QUIBO_PID" -o "$WORK/perf.txt" &
  local perf=$!
  sleep 0.2
  local result
  result=$(python3 bench/policy_bench.py load $QUIBO_PORT "$LOAD" "$CONC" "$2")
  kill -INT $perf; wait $perf 2>/dev/null || true
  local ms
  ms=$(awk -F, '/task-clock/ { print $1 }' "$WORK/perf.txt")
  stop_quibo
  echo "$result $(echo "$ms / $LOAD" | bc -l | xargs printf '%.3f')"
}
refuse_rates=""; refuse_cpu=""; relay_rates=""; relay_cpu=""
for run in $(seq "$RUNS"); do
  r=$(cpu_load "ModifySubject=0\nForward=0\n$three_zones" refuse)
  a=$(cpu_load "" relay)
  log "run $run: refuse listed host: rate/s good cpu_ms $r; accept and relay: rate/s good cpu_ms $a"
  read -r rate _ cpu <<<"$r"; refuse_rates+=" $rate"; refuse_cpu+=" $cpu"
  read -r rate _ cpu <<<"$a"; relay_rates+=" $rate"; relay_cpu+=" $cpu"
done
log "(b) refusing a listed host: $(echo $refuse_rates | median)/s ($(echo $refuse_rates | spread)), $(echo $refuse_cpu | median) ms CPU per session ($(echo $refuse_cpu | spread))"
log "(b) accepting and relaying:  $(echo $relay_rates | median)/s ($(echo $relay_rates | spread)), $(echo $relay_cpu | median) ms CPU per session ($(echo $relay_cpu | spread))"
