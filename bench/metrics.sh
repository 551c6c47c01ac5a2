#!/usr/bin/env bash
# What the metrics endpoint costs the relay, loopback only: bench/relay-cost.sh
# (smtp-source -> quibo -> smtp-sink) with the endpoint off, then with it on
# and scraped once a second, in one run of this script. Results go to OUT
# (bench/results.txt) through relay-cost.sh; the scrapes answered are counted.
# Usage: bench/metrics.sh   (N=2000 SIZE=5120 CONCS=10 RUNS=3)
set -euo pipefail
cd "$(dirname "$0")/.."
export N=${N:-2000} SIZE=${SIZE:-5120} RUNS=${RUNS:-3} CONCS=${CONCS:-10} OUT=${OUT:-bench/results.txt}
METRICS_PORT=2539
SCRAPER=""
trap '[ -n "$SCRAPER" ] && kill "$SCRAPER" 2>/dev/null || true' EXIT

echo "=== metrics cost $(date -u +%FT%TZ): endpoint off" | tee -a "$OUT"
bench/relay-cost.sh

SCRAPES=$(mktemp)
(while sleep 1; do curl -sf -o /dev/null "http://127.0.0.1:$METRICS_PORT/metrics" && echo ok >> "$SCRAPES"; done) &
SCRAPER=$!
echo "=== metrics cost $(date -u +%FT%TZ): endpoint on, scraped every second" | tee -a "$OUT"
QUIBO_INI="MetricsListen=127.0.0.1:$METRICS_PORT\n" bench/relay-cost.sh
kill "$SCRAPER"; SCRAPER=""
echo "scrapes answered while the endpoint was on: $(wc -l < "$SCRAPES")" | tee -a "$OUT"
rm -f "$SCRAPES"
