#!/usr/bin/env bash
# Seed building and content writes against the reference tools, side by side on one 1 GiB file:
#   - `mirt seed build` (hash every piece, write the seed) against `openssl dgst -sha1`;
#   - piece-sized writes through a content file into a new preallocated file against
#     `dd bs=1M` to the same filesystem, and the mapped-view alternative, with and without a
#     final flush to disk.
# Each pair runs once as a warm-up, then RUNS times alternating; the best time of each counts.
# Usage: bench/storage_bench.sh [BUILD_DIR] (needs a build with -DTESSALI_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
RUNS=${RUNS:-3}
DIR=${BENCH_DIR:-/tmp}
MIRT=$BUILD_DIR/tools/mirt
WRITER=$BUILD_DIR/bench/content_write_bench
SIZE=$((1024 * 1024 * 1024))
PIECE=524288  # the piece length chosen for 1 GiB
SRC=$DIR/tessali-bench-src.bin
OUT=$DIR/tessali-bench-out.bin
trap 'rm -f "$SRC" "$SRC.torrent" "$OUT" "$OUT.dd"' EXIT

[ -x "$MIRT" ] && [ -x "$WRITER" ] || { echo "build with -DTESSALI_BENCH=ON first" >&2; exit 2; }
head -c $SIZE /dev/urandom > "$SRC"

now() { date +%s.%N; }
# best_of NAME CMD...: runs CMD and keeps its best wall time in BEST[NAME]
declare -A BEST
WARM=0
timed() {
  local name=$1; shift
  local t0 t1 d
  t0=$(now); "$@" > /dev/null; t1=$(now)
  [ "$WARM" = 1 ] && return 0
  d=$(echo "$t1 - $t0" | bc -l)
  if [ -z "${BEST[$name]:-}" ] || [ "$(echo "$d < ${BEST[$name]}" | bc -l)" = 1 ]; then BEST[$name]=$d; fi
}
rate() { echo "scale=2; $SIZE / ${BEST[$1]} / 1000000000" | bc -l; }
ratio() { echo "scale=2; ${BEST[$2]} / ${BEST[$1]}" | bc -l; }

hash_pair() {
  timed openssl openssl dgst -sha1 "$SRC"
  timed seed "$MIRT" seed build "$SRC" --date 1 --out "$SRC.torrent"
}
write_pair() {
  local sync=$1 ddsync=""
  [ "$sync" = "--sync" ] && ddsync="conv=fdatasync"
  rm -f "$OUT.dd"; sync; timed "dd$sync" dd if=/dev/zero of="$OUT.dd" bs=1M count=1024 $ddsync status=none
  rm -f "$OUT.dd"; sync; timed "pwrite$sync" "$WRITER" pwrite "$OUT" $SIZE $PIECE $sync
  rm -f "$OUT"; sync; timed "mmap$sync" "$WRITER" mmap "$OUT" $SIZE $PIECE $sync
  rm -f "$OUT"; sync; timed "mmapsparse$sync" "$WRITER" mmap-sparse "$OUT" $SIZE $PIECE $sync
  rm -f "$OUT"
}

WARM=1; hash_pair; write_pair ""; write_pair --sync; WARM=0
for _ in $(seq "$RUNS"); do hash_pair; done
for _ in $(seq "$RUNS"); do write_pair ""; write_pair --sync; done

echo "1 GiB, best of $RUNS after a warm-up, load average $(cut -d' ' -f1 /proc/loadavg), $(nproc) cores, $(df -T "$DIR" | awk 'NR==2{print $2}') in $DIR"
printf '%-34s %6s GB/s\n' "openssl dgst -sha1" "$(rate openssl)" "mirt seed build" "$(rate seed)"
echo "seed build / openssl speed ratio: $(ratio seed openssl)"
for s in "" --sync; do
  label=${s:-"(page cache)"}
  printf '%-34s %6s GB/s\n' "dd bs=1M $label" "$(rate dd$s)" "content file, positioned $label" "$(rate pwrite$s)" \
    "mapped views, preallocated $label" "$(rate mmap$s)" "mapped views, sparse $label" "$(rate mmapsparse$s)"
  echo "content file / dd speed ratio $label: $(ratio pwrite$s dd$s); mapped / positioned: $(ratio mmap$s pwrite$s)"
done
