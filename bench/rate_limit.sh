#!/usr/bin/env bash
# How well the engine holds its transfer limits on loopback. Download: a `mirt share` seeder and
# `mirt get --peer ... --max-download DOWN_KIB`. Upload: a `mirt share --max-upload UP_KIB`
# seeder and a plain `mirt get`. Each is measured over SECONDS once bytes flow (piece bytes the
# downloader received, from its progress lines) and printed as KiB/s and as a ratio to its limit.
# Usage: bench/rate_limit.sh [BUILD_DIR]   (DOWN_KIB=2000 UP_KIB=500 MEASURE_S=20 BENCH_DIR=/tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
DOWN_KIB=${DOWN_KIB:-2000}
UP_KIB=${UP_KIB:-500}
SECS=${MEASURE_S:-20}
MIRT=$(realpath "$BUILD_DIR/tools/mirt")
ROOT=$(mktemp -d "${BENCH_DIR:-/tmp}/tessali-rate-bench.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$ROOT"
}
trap cleanup EXIT
[ -x "$MIRT" ] || { echo "build mirt first" >&2; exit 2; }
port() { echo $((20000 + RANDOM % 30000)); }
deploy() {  # deploy DIR PORT
  mkdir -p "$1/xdg"
  printf '[servers]\n[engine]\ntracker_host = 127.0.0.1:1\nlisten_port = %s\nnat_type = 0\nlan_search = 0\n' \
    "$2" > "$1/deploy.ini"
}
run_mirt() {  # run_mirt DIR ARGS... (in the background, output to DIR/out)
  local dir=$1
  shift
  XDG_DATA_HOME=$dir/xdg TESSALI_DEPLOY=$dir/deploy.ini "$MIRT" "$@" > "$dir/out" 2> "$dir/err" &
  PIDS+=($!)
}
received() {  # the last "received N" of a downloader's progress lines
  { grep '^progress' "$1" || true; } | tail -1 | awk '{print $NF}'
}
# Enough content that neither run completes within the measured time.
SIZE_MIB=$(( (DOWN_KIB > UP_KIB ? DOWN_KIB : UP_KIB) * (SECS + 10) / 1024 + 16 ))
SRC=$ROOT/content.bin
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$SRC"

measure() {  # measure NAME SEEDER_ARGS... -- GETTER_ARGS...  -> prints KiB/s
  local name=$1 seed_args=() get_args=()
  shift
  while [ "$1" != "--" ]; do seed_args+=("$1"); shift; done
  shift
  get_args=("$@")
  local seed_port
  seed_port=$(port)
  deploy "$ROOT/$name-seed" "$seed_port"
  run_mirt "$ROOT/$name-seed" share "$SRC" "${seed_args[@]}"
  local seed_pid=${PIDS[-1]}
  until grep -q "$SRC" "$ROOT/$name-seed/out"; do sleep 0.2; done
  local hash
  hash=$(awk '{print $1}' "$ROOT/$name-seed/out")
  deploy "$ROOT/$name-get" "$(port)"
  run_mirt "$ROOT/$name-get" get "$hash" "$ROOT/$name-get/content.bin" --peer "127.0.0.1:$seed_port" \
    --progress-ms 100 "${get_args[@]}"
  local get_pid=${PIDS[-1]}
  local r0=0
  until [ "${r0:-0}" -gt 0 ]; do sleep 0.05; r0=$(received "$ROOT/$name-get/out"); done
  local t0 t1 r1
  t0=$(date +%s.%N)
  r0=$(received "$ROOT/$name-get/out")
  sleep "$SECS"
  r1=$(received "$ROOT/$name-get/out")
  t1=$(date +%s.%N)
  kill "$get_pid" "$seed_pid" 2>/dev/null || true
  wait "$get_pid" "$seed_pid" 2>/dev/null || true
  echo "($r1 - $r0) / ($t1 - $t0) / 1024" | bc -l
}

measure down -- --max-download "$DOWN_KIB" > "$ROOT/down.rate"
measure up --max-upload "$UP_KIB" -- > "$ROOT/up.rate"
DOWN=$(cat "$ROOT/down.rate")
UP=$(cat "$ROOT/up.rate")
printf 'download limit %6d KiB/s: achieved %8.1f KiB/s over %s s, ratio %.3f\n' \
  "$DOWN_KIB" "$DOWN" "$SECS" "$(echo "$DOWN / $DOWN_KIB" | bc -l)"
printf 'upload   limit %6d KiB/s: achieved %8.1f KiB/s over %s s, ratio %.3f\n' \
  "$UP_KIB" "$UP" "$SECS" "$(echo "$UP / $UP_KIB" | bc -l)"
