#!/usr/bin/env bash
# Classifier benchmark, loopback only: the same messages scored by spamc alone,
# by the HCheck adapter (-> spamc), and through the filter (SMTP -> quibo ->
# HCheck -> spamc -> sink), all against one spamd of its own; messages per
# second and CPU per message (perf stat task-clock), median of RUNS runs with
# the spread. Installs linux-perf for perf. Appends to bench/results.txt.
# Usage: bench/classifier.sh   (N=200 messages, RUNS=3)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v perf >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-perf >/dev/null
scripts/build >/dev/null
{
  echo "=== $(date -u +%FT%TZ) $(nproc) cores, classifier: $(spamd --version | head -1)"
  python3 bench/classifier.py
} | tee -a bench/results.txt
