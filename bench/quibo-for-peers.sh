#!/usr/bin/env bash
# The filter as ../shared/bench/peers.sh starts it (QUIBO_BIN), with what that
# script does not write: its recipients' domain is local, so the relay policy
# lets the benchmark's mail through, and one address (the benchmark's) may
# hold any number of connections; RecipientCheck is RECIPIENT_CHECK's (default
# live). Then runs build/quibo.
set -euo pipefail
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; i++)); do
  [ "${args[i]}" = "--home" ] && printf '[Settings]\nMaxConnectionsPerIp=0\nRecipientCheck=%s\n[LocalDomains]\n0=dst.feas.test\n' "${RECIPIENT_CHECK:-live}" >> "${args[i + 1]}/quibo.ini"
done
exec "$(dirname "$0")/../build/quibo" "$@"
