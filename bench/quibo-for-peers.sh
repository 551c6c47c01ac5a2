#!/usr/bin/env bash
# The filter as ../shared/bench/peers.sh starts it (QUIBO_BIN), with the one
# setting that script does not write: its recipients' domain is local, so the
# relay policy lets the benchmark's mail through. Then runs build/quibo.
set -euo pipefail
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; i++)); do
  [ "${args[i]}" = "--home" ] && printf '[LocalDomains]\n0=dst.feas.test\n' >> "${args[i + 1]}/quibo.ini"
done
exec "$(dirname "$0")/../build/quibo" "$@"
