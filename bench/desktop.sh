#!/usr/bin/env bash
# The desktop window's costs, loopback and a private Xvfb display only: the
# time from the start of the program to its shown window, the window's CPU
# use while idle, and the relay rate of ../shared/bench/peers.sh with the
# window open against headless, alternating in one run. Each figure three
# times. Usage: bench/desktop.sh   (IDLE_SECONDS, N, CONCS as in peers.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build >/dev/null
IDLE_SECONDS=${IDLE_SECONDS:-30}
WORK=$(mktemp -d "${BENCH_TMP:-/tmp}/quibo-desktop-bench-XXXXXX")
chmod 755 "$WORK"
exec 3> "$WORK/display"
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$WORK"' EXIT
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -1 "$WORK/display")
out=bench/results.txt
echo "=== $(date -u +%FT%TZ) $(nproc) cores, quibo desktop window on Xvfb $DISPLAY" | tee -a "$out"

now_ms() { date +%s%3N; }
for run in 1 2 3; do
  home=$WORK/home$run
  mkdir -p "$home"
  printf '[Settings]\nListenIP=127.0.0.1\nListenPort=0\n' > "$home/quibo.ini"
  start=$(now_ms)
  build/quibo --home "$home" 2>/dev/null &
  pid=$!
  until [[ $(xwininfo -name "Quibo dederazu" 2>/dev/null) == *IsViewable* ]]; do sleep 0.005; done
  shown=$(now_ms)
  sleep 2
  ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
  before=$(ticks)
  sleep "$IDLE_SECONDS"
  after=$(ticks)
  kill -TERM $pid
  wait $pid
  hz=$(getconf CLK_TCK)
  echo "run $run: start to shown window $((shown - start)) ms; idle CPU $(( (after - before) * 1000 / hz )) ms in ${IDLE_SECONDS} s" | tee -a "$out"
done

# The relay with the window open (DISPLAY set) and headless (--headless), in turns.
for run in 1 2 3; do
  for mode in window headless; do
    mkdir -p "$WORK/relay-$mode-$run"
    args=""
    [ $mode = headless ] && args="--headless"
    cat > "$WORK/quibo-$mode.sh" <<SH
#!/usr/bin/env bash
exec $PWD/bench/quibo-for-peers.sh "\$@" $args
SH
    chmod +x "$WORK/quibo-$mode.sh"
    wrapper=$WORK/quibo-$mode.sh
    QUIBO_BIN=$wrapper WORK=$WORK/relay-$mode-$run SKIP_DIRECT=1 SKIP_POSTFIX=1 N=${N:-2000} \
      CONCS=${CONCS:-"10"} bash ../shared/bench/peers.sh >/dev/null 2>&1 || true
    grep quibo-relay "$WORK/relay-$mode-$run/bench-results.txt" | sed "s/^/$mode run $run: /" | tee -a "$out"
  done
done
