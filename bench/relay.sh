#!/usr/bin/env bash
# Relay benchmark, loopback only: smtp-source -> quibo -> smtp-sink (5 KB messages, one
# session per message, concurrency 1, 10, 50), measured in the same run as the ceiling
# (smtp-source -> smtp-sink) and a Postfix relay forwarding to the same sink.
# Drives ../shared/bench/peers.sh; installs postfix without starting the system's mail
# server. The whole run is made once for each RecipientCheck of CHECKS (default "live end").
# Usage: bench/relay.sh   (N, SIZE, CONCS as in peers.sh; BENCH_TMP for the work folder; CHECKS)
set -euo pipefail
cd "$(dirname "$0")/.."
PEERS=${PEERS:-../shared/bench/peers.sh}
if ! command -v smtp-source >/dev/null; then
  created_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod +x /usr/sbin/policy-rc.d; created_policy=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postfix bc >/dev/null
  [ $created_policy = 1 ] && rm -f /usr/sbin/policy-rc.d
fi
scripts/build >/dev/null
for check in ${CHECKS:-live end}; do
  WORK=$(mktemp -d "${BENCH_TMP:-/tmp}/quibo-relay-bench-XXXXXX")  # BENCH_TMP=/dev/shm: everything on tmpfs
  chmod 755 "$WORK"  # the Postfix daemons run as their own user
  trap 'rm -rf "$WORK"' EXIT
  RECIPIENT_CHECK=$check WORK=$WORK QUIBO_BIN=$PWD/bench/quibo-for-peers.sh bash "$PEERS"
  { echo "--- RecipientCheck=$check:"; cat "$WORK/bench-results.txt"; } >> bench/results.txt
  rm -rf "$WORK"
done
