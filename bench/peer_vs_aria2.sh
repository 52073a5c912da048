#!/usr/bin/env bash
# Engine-to-engine download on loopback against aria2c-to-aria2c BitTorrent (through an
# opentracker on loopback), side by side on the same random content: one `mirt share` seeder and
# `mirt get --peer`, then an aria2c seeder and an aria2c downloader. Each pair runs once as a
# warm-up, then RUNS times alternating; the best run of each counts. Reports MB/s, CPU seconds and
# peak memory of the downloader, and the ratios.
# Usage: bench/peer_vs_aria2.sh [BUILD_DIR]   (SIZE_MIB=1024 RUNS=3 FRAMING=plain BENCH_DIR=/tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
RUNS=${RUNS:-3}
SIZE_MIB=${SIZE_MIB:-1024}
FRAMING=${FRAMING:-plain}
MIRT=$(realpath "$BUILD_DIR/tools/mirt")
ROOT=$(mktemp -d "${BENCH_DIR:-/tmp}/tessali-peer-bench.XXXXXX")
chmod 755 "$ROOT"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$ROOT"
}
trap cleanup EXIT
[ -x "$MIRT" ] || { echo "build mirt first" >&2; exit 2; }
port() { echo $((20000 + RANDOM % 30000)); }

SRC=$ROOT/src/content.bin
mkdir -p "$ROOT/src"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$SRC"
SIZE=$(stat -c %s "$SRC")

# --- the engine seeder
SEED_PORT=$(port)
deploy() {  # deploy DIR PORT
  mkdir -p "$1/xdg"
  printf '[servers]\n[engine]\ntracker_host = 127.0.0.1:1\nlisten_port = %s\nnat_type = 0\n' "$2" > "$1/deploy.ini"
}
deploy "$ROOT/eseed" "$SEED_PORT"
XDG_DATA_HOME=$ROOT/eseed/xdg TESSALI_DEPLOY=$ROOT/eseed/deploy.ini "$MIRT" share "$SRC" > "$ROOT/eseed/out" 2>&1 &
PIDS+=($!)
until grep -q "$SRC" "$ROOT/eseed/out"; do sleep 0.2; done
HASH=$(awk '{print $1}' "$ROOT/eseed/out")

# --- the tracker and the aria2c seeder
TRACK_PORT=$(port)
mkdir -p "$ROOT/track" "$ROOT/aseed" "$ROOT/aget"
ln "$SRC" "$ROOT/aseed/content.bin" 2>/dev/null || cp "$SRC" "$ROOT/aseed/content.bin"
INFO=$(python3 bench/make_torrent.py "$SRC" "http://127.0.0.1:$TRACK_PORT/announce" "$ROOT/t.torrent")
echo "$INFO" > "$ROOT/track/whitelist"
chmod -R a+rX "$ROOT/track"
opentracker -i 127.0.0.1 -p "$TRACK_PORT" -P "$TRACK_PORT" -d "$ROOT/track" -u nobody -w whitelist > "$ROOT/track/log" 2>&1 &
PIDS+=($!)
ARIA=(--enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false
      --interface=127.0.0.1 --disable-ipv6=true --summary-interval=0 --console-log-level=warn
      --file-allocation=none --check-integrity=false)
aria2c "${ARIA[@]}" --seed-ratio=0.0 --bt-seed-unverified=true --listen-port="$(port)" -d "$ROOT/aseed" \
  "$ROOT/t.torrent" > "$ROOT/aseed/log" 2>&1 &
PIDS+=($!)
sleep 2

declare -A BEST_T BEST_CPU BEST_RSS
record() {  # record NAME TIMEFILE
  read -r wall user sys rss < "$2"
  local cpu
  cpu=$(echo "$user + $sys" | bc -l)
  if [ -z "${BEST_T[$1]:-}" ] || [ "$(echo "$wall < ${BEST_T[$1]}" | bc -l)" = 1 ]; then
    BEST_T[$1]=$wall; BEST_CPU[$1]=$cpu; BEST_RSS[$1]=$rss
  fi
}
engine_run() {
  rm -rf "$ROOT/eget"; deploy "$ROOT/eget" "$(port)"
  XDG_DATA_HOME=$ROOT/eget/xdg TESSALI_DEPLOY=$ROOT/eget/deploy.ini /usr/bin/time -f "%e %U %S %M" -o "$ROOT/time" \
    "$MIRT" get "$HASH" "$ROOT/eget/content.bin" --peer "127.0.0.1:$SEED_PORT" --framing "$FRAMING" --progress-ms 20 \
    > "$ROOT/eget.out"
  cmp -s "$SRC" "$ROOT/eget/content.bin" || { echo "engine copy differs" >&2; exit 1; }
}
aria_run() {
  rm -rf "$ROOT/aget"; mkdir -p "$ROOT/aget"
  /usr/bin/time -f "%e %U %S %M" -o "$ROOT/time" aria2c "${ARIA[@]}" --seed-time=0 --listen-port="$(port)" \
    -d "$ROOT/aget" "$ROOT/t.torrent" > "$ROOT/aget.out" 2>&1
  cmp -s "$SRC" "$ROOT/aget/content.bin" || { echo "aria2c copy differs" >&2; exit 1; }
}

engine_run; aria_run  # warm-up
for _ in $(seq "$RUNS"); do
  engine_run; record engine "$ROOT/time"
  aria_run; record aria2c "$ROOT/time"
done

mbps() { echo "scale=1; $SIZE / ${BEST_T[$1]} / 1000000" | bc -l; }
echo "$SIZE_MIB MiB on loopback, framing $FRAMING, best of $RUNS after a warm-up, load $(cut -d' ' -f1 /proc/loadavg), $(nproc) cores"
printf '%-28s %8s %8s %8s %10s\n' downloader "wall s" "MB/s" "CPU s" "peak KiB"
for n in engine aria2c; do
  printf '%-28s %8s %8s %8s %10s\n' "$n" "${BEST_T[$n]}" "$(mbps $n)" "${BEST_CPU[$n]}" "${BEST_RSS[$n]}"
done
echo "speed ratio engine/aria2c: $(echo "scale=2; ${BEST_T[aria2c]} / ${BEST_T[engine]}" | bc -l)"
echo "CPU per GiB ratio engine/aria2c: $(echo "scale=2; ${BEST_CPU[engine]} / ${BEST_CPU[aria2c]}" | bc -l)"
echo "peak memory ratio engine/aria2c: $(echo "scale=2; ${BEST_RSS[engine]} / ${BEST_RSS[aria2c]}" | bc -l)"
