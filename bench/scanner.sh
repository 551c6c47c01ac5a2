#!/usr/bin/env bash
# Scanner cost per message, loopback only: clamdscan --fdpass to a clamd of its
# own (Unix socket, the EICAR test signature as its whole database) against
# clamscan with the same database, on the same N stored messages; CPU per
# message is perf stat task-clock of the scanning loop (clamd's own CPU from
# /proc). The signature updater never runs. Appends to bench/results.txt.
# Usage: bench/scanner.sh   (N=200)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v perf >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-perf >/dev/null
N=${N:-200}
work=$(mktemp -d /tmp/quibo-scanner-bench-XXXXXX)
clamd_pid=""
trap '[ -n "$clamd_pid" ] && kill "$clamd_pid"; rm -rf "$work"' EXIT
mkdir -p "$work/db" "$work/mail"
echo 'Eicar-Test-Signature:0:*:45494341522d5354414e444152442d414e544956495255532d544553542d46494c45' > "$work/db/eicar.ndb"
for i in $(seq -w 1 "$N"); do
  { printf 'From: a@example.com\r\nSubject: message %s\r\n\r\n' "$i"
    for _ in $(seq 60); do printf 'Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor\r\n'; done
    printf '.\r\n'; } > "$work/mail/$i"
done
cat > "$work/clamd.conf" <<CONF
LocalSocket $work/clamd.sock
DatabaseDirectory $work/db
TemporaryDirectory $work
Foreground yes
LogFile $work/clamd.log
CONF
clamd --config-file="$work/clamd.conf" >/dev/null 2>&1 &
clamd_pid=$!
for _ in $(seq 100); do [ -S "$work/clamd.sock" ] && break; sleep 0.1; done
clamd_cpu() { awk '{ print $14 + $15 }' "/proc/$clamd_pid/stat"; }

measure() { # name, command run per file ("$f" is the file)
  local name=$1 command=$2 before start end after
  before=$(clamd_cpu); start=$(date +%s.%N)
  perf stat -x, -e task-clock -o "$work/perf.csv" -- sh -c "for f in \"\$0\"/*; do $command >/dev/null; done" "$work/mail"
  end=$(date +%s.%N); after=$(clamd_cpu)
  awk -F, -v name="$name" -v n="$N" -v t0="$start" -v t1="$end" -v d0="$before" -v d1="$after" \
    -v tick="$(getconf CLK_TCK)" '$3 ~ /^task-clock/ {
      printf "%-10s n=%d  %7.1f msg/s  cpu %6.2f ms/msg  clamd cpu %6.2f ms/msg\n", name, n, n / (t1 - t0), $1 / n,
             1000 * (d1 - d0) / tick / n }' "$work/perf.csv"
}
{
  echo "=== $(date -u +%FT%TZ) $(nproc) cores, scanner: $(clamscan --version), one-signature database"
  for _ in 1 2 3; do
    measure clamdscan "clamdscan --fdpass --no-summary --config-file=$work/clamd.conf \"\$f\""
    measure clamscan "clamscan --no-summary -d $work/db \"\$f\""
  done
} | tee -a bench/results.txt
