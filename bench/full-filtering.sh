#!/usr/bin/env bash
# Full filtering at speed (see bench/full_filtering.py): the filter with clamd,
# with rspamd and with both, next to rspamd's own rate and to Postfix with
# rspamd as its milter, on the same 5 KB message with the same envelope (the
# filter asking rspamd itself passes it on, as the milter does); loopback
# only, every daemon started here in a temporary folder and stopped again.
# Installs the peers without starting any system service. Appends to
# bench/results.txt.
# Usage: bench/full-filtering.sh   (N=2000 CONC=10 RUNS=3 SIZE=5120)
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=bench/results.txt
source bench/common.sh
install_peers
scripts/build >/dev/null
{
  echo "=== full filtering $(date -u +%FT%TZ) $(nproc) cores, N=${N:-2000} CONC=${CONC:-10} RUNS=${RUNS:-3}," \
    "$(rspamd --version | head -1), $(clamd --version), Postfix $(postconf -d -h mail_version)"
  python3 bench/full_filtering.py
} | tee -a "$OUT"
