#!/usr/bin/env bash
# HTTP-source download against curl, side by side: one 1 GiB file served by nginx (sendfile on)
# on loopback, fetched by `mirt fetch` (the engine's HTTP agent, into its ".!hmt" file, renamed at
# the end) and by `curl -o` into the same folder. One warm-up round, then RUNS rounds alternating;
# the best time of each counts; each time is the whole process, start-up and shut-down included.
# Prints both rates, the ratio (goal: mirt >= 0.9 of curl) and the machine's load before and after.
# Usage: bench/http_source_vs_curl.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
RUNS=${RUNS:-3}
SIZE=${SIZE:-$((1024 * 1024 * 1024))}
MIRT=$(realpath "$BUILD_DIR/tools/mirt")
WORK=$(mktemp -d "${BENCH_DIR:-/tmp}/tessali-http-bench.XXXXXX")
NGINX_PID=
cleanup() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

[ -x "$MIRT" ] || { echo "build mirt first" >&2; exit 2; }
mkdir -p "$WORK/www" "$WORK/logs" "$WORK/data"
head -c "$SIZE" /dev/urandom > "$WORK/www/big.bin"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$WORK/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  server { listen 127.0.0.1:$PORT; root $WORK/www; }
}
CONF
/usr/sbin/nginx -p "$WORK" -c "$WORK/nginx.conf" -e "$WORK/logs/error.log" &
NGINX_PID=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$PORT/" && break; sleep 0.1; done
URL="http://127.0.0.1:$PORT/big.bin"

now() { date +%s.%N; }
declare -A BEST
WARM=0
timed() {
  local name=$1; shift
  local t0 t1 d
  rm -f "$WORK/out.$name"*
  t0=$(now); "$@" > /dev/null; t1=$(now)
  cmp -s "$WORK/out.$name" "$WORK/www/big.bin" || { echo "$name: the file differs" >&2; exit 1; }
  rm -f "$WORK/out.$name"
  [ "$WARM" = 1 ] && return 0
  d=$(echo "$t1 - $t0" | bc -l)
  if [ -z "${BEST[$name]:-}" ] || [ "$(echo "$d < ${BEST[$name]}" | bc -l)" = 1 ]; then BEST[$name]=$d; fi
}
round() {
  timed curl curl -s -o "$WORK/out.curl" "$URL"
  # From the work folder: whatever the engine writes beside its working directory stays there.
  cd "$WORK"
  timed mirt env XDG_DATA_HOME="$WORK/data" "$MIRT" fetch "$URL" "$WORK/out.mirt"
  cd - > /dev/null
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
WARM=1 round
WARM=0
for _ in $(seq "$RUNS"); do round; done
rate() { echo "scale=2; $SIZE / ${BEST[$1]} / 1000000" | bc -l; }
printf "curl -o      %8s MB/s (best of %d, %.3f s)\n" "$(rate curl)" "$RUNS" "${BEST[curl]}"
printf "mirt fetch   %8s MB/s (best of %d, %.3f s)\n" "$(rate mirt)" "$RUNS" "${BEST[mirt]}"
printf "ratio mirt/curl: %s\n" "$(echo "scale=2; ${BEST[curl]} / ${BEST[mirt]}" | bc -l)"
printf "load (1, 5, 15 min): before %s, after %s, on %s cores\n" "$LOAD_BEFORE" "$(cut -d' ' -f1-3 /proc/loadavg)" "$(nproc)"
