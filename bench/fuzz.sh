#!/usr/bin/env bash
# Runs every fuzz target for as long as asked (seconds per target, default
# 600) and appends the executions reached to bench/results.txt. Run it on an
# otherwise idle machine: the targets take one core each, one after another.
# Usage: bench/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
summary=$(scripts/fuzz "$seconds" | tee /dev/stderr | grep '^fuzz')
{
  echo "== fuzz $(date -u +%Y-%m-%dT%H:%MZ) ($seconds s per target, one process)"
  echo "$summary"
} >>bench/results.txt
