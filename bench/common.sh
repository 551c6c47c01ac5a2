# Shared by the benchmark scripts (sourced): installing the peers without
# starting any mail server, waiting for a port, and the median and spread of
# a list of figures. OUT names the results file that log appends to.

# install_peers: Debian's postfix (smtp-source, smtp-sink), linux-perf and bc, where missing.
install_peers() {
  local missing=()
  command -v smtp-sink >/dev/null || missing+=(postfix)
  command -v perf >/dev/null || missing+=(linux-perf)
  command -v bc >/dev/null || missing+=(bc)
  [ ${#missing[@]} -eq 0 ] && return
  local created=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod +x /usr/sbin/policy-rc.d; created=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  if [ $created = 1 ]; then rm -f /usr/sbin/policy-rc.d; fi # not a bare "&&": its false would fail the caller under set -e
}
# bench_setup NAME: the peers installed, the filter built, and WORK made on BENCH_TMP's disk
# (default /tmp), open to the peers that run as users of their own.
bench_setup() {
  install_peers
  scripts/build >/dev/null
  WORK=$(mktemp -d "${BENCH_TMP:-/tmp}/quibo-$1-XXXXXX")
  chmod 755 "$WORK"
}
# build_tls_load: the benchmarks' own load client and sink (bench/tls_load) built into WORK; LOAD names it.
build_tls_load() {
  g++ -std=c++20 -O2 -Wall -Wextra -pthread bench/tls_load/tls_load.cpp -o "$WORK/tls_load" -lssl -lcrypto
  LOAD=$WORK/tls_load
}
log() { echo "$*" | tee -a "$OUT"; }
wait_port() { for _ in $(seq 100); do ss -ltn | grep -q "127.0.0.1:$1 " && return 0; sleep 0.1; done; return 1; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
spread() { tr ' ' '\n' | grep -v '^$' | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "-" hi }'; }
