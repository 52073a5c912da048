#!/usr/bin/env bash
# Engine against aria2c over emulated wide-area links, side by side in one run on the same random
# content. Each seeder sits behind its own wan_link (rate, one-way delay, bottleneck queue, loss;
# identical links for both programs): N `mirt share` seeders and `mirt get --peer LINK` once per
# framing, then N aria2c seeders, found through a tiny tracker (wan_tracker.py) that hands out the
# links' addresses, and an aria2c downloader. Each download is checked byte-identical by SHA-1 and
# stopped after a time limit (reported as TIMEOUT with the share it got). Per downloader it prints
# whole-process wall seconds, MB/s, share of the links' capacity, CPU seconds, peak RSS and the
# speed ratio to aria2c. TCP through wan_link has no congestion control of its own (the link
# back-pressures the sender), so TCP rows measure the programs' request pipelines.
# Scenarios (any of them, in order):
#   check  the emulator's own check (rate, round trip, loss, tail drop) at 100 Mbit/s, 40 ms
#   a      one seeder, 100 Mbit/s, 40 ms round trip, each framing of -f
#   b      four seeders, 25 Mbit/s each, 60 ms round trip, plain framing
#   c      reliable UDP, one seeder, 100 Mbit/s, 40 ms, without loss and with 1 % loss each way
#          (c0 and c1: only the one without, only the one with loss)
#   d      loopback without links, -d MiB (mirt plain vs aria2c speed and CPU per GiB), after a warm-up
# Usage: bench/wan_vs_aria2.sh [-b BUILD_DIR] [-m MIB] [-d MIB] [-f FRAMINGS] [-l LIMIT_S] [-q QUEUE_MS] [-E]
#        SCENARIO...
#   defaults: build, 256, 1024, "plain http scrambled udp", 600, 50. Needs -DTESSALI_BENCH=ON.
#   -E: the engine's rows only (no aria2c seeders or download), to save time while tuning.
#   The links run with a real-time priority when allowed (late timer wake-ups on a loaded machine
#   would otherwise add delay); the load average is printed with the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=build
SIZE_MIB=256
LOOP_MIB=1024
FRAMINGS="plain http scrambled udp"
LIMIT=600
QUEUE_MS=50
ENGINE_ONLY=0
while getopts "b:m:d:f:l:q:E" opt; do
  case $opt in
    b) BUILD_DIR=$OPTARG ;;
    m) SIZE_MIB=$OPTARG ;;
    d) LOOP_MIB=$OPTARG ;;
    f) FRAMINGS=$OPTARG ;;
    l) LIMIT=$OPTARG ;;
    q) QUEUE_MS=$OPTARG ;;
    E) ENGINE_ONLY=1 ;;
    *) sed -n '2,26p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || { sed -n '2,26p' "$0"; exit 2; }
MIRT=$(realpath "$BUILD_DIR/tools/mirt")
WAN_LINK=$(realpath "$BUILD_DIR/bench/wan_link")
[ -x "$MIRT" ] && [ -x "$WAN_LINK" ] || { echo "build mirt and wan_link (-DTESSALI_BENCH=ON) first" >&2; exit 2; }
ROOT=$(mktemp -d "${BENCH_DIR:-/tmp}/tessali-wan-bench.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${BENCH_KEEP:-}" ] && echo "kept $ROOT" || rm -rf "$ROOT"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
RT=()
if chrt -f 10 true 2>/dev/null; then RT=(chrt -f 10); else echo "note: links run without real-time priority"; fi
port() { echo $((20000 + RANDOM % 30000)); }
ARIA=(--enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false
      --interface=127.0.0.1 --disable-ipv6=true --summary-interval=0 --console-log-level=warn
      --file-allocation=none --check-integrity=false)

wait_line() {  # wait_line FILE PATTERN PID: until FILE has PATTERN; fails when PID died
  until grep -q -- "$2" "$1" 2>/dev/null; do
    kill -0 "$3" 2>/dev/null || { echo "process $3 stopped: $(tail -3 "$1")" >&2; exit 1; }
    sleep 0.2
  done
}
deploy() {  # deploy DIR PORT: own data folder; no tracker, relay, STUN or LAN search to find peers
  # around the links; NAT type fixed (no detection wait)
  mkdir -p "$1/xdg"
  printf '[servers]\n[engine]\ntracker_host = 127.0.0.1:1\nagent_host = 127.0.0.1:1\nupdate_host = 127.0.0.1:1\n%s\n' \
    'stun_primary = 127.0.0.1:1' > "$1/deploy.ini"
  printf 'stun_fallback = 127.0.0.1:1\nlan_search = 0\nlisten_port = %s\nnat_type = 0\n' "$2" >> "$1/deploy.ini"
}

# --- content and the seeders that serve it: made once per size, shared by the scenarios
declare -A SRC_OF SHA_OF HASH_OF TORRENT_OF
declare -A ESEED_PORTS ASEED_PORTS  # "SIZE" -> space-separated ports of the seeders
PEERS_FILE=$ROOT/tracker-peers
touch "$PEERS_FILE"
TRACKER_PORT=
start_tracker() {
  [ -n "$TRACKER_PORT" ] && return
  python3 bench/wan_tracker.py 0 "$PEERS_FILE" > "$ROOT/tracker.out" 2>&1 &
  PIDS+=($!)
  wait_line "$ROOT/tracker.out" ready $!
  TRACKER_PORT=$(awk '/ready/ {print $2}' "$ROOT/tracker.out")
}
content() {  # content MIB [SEEDERS]: random file, SHA-1, engine hash and torrent, seeders started
  local mib=$1 want=${2:-0} dir=$ROOT/c$1
  if [ -z "${SRC_OF[$mib]:-}" ]; then
    mkdir -p "$dir/src"
    head -c $((mib * 1024 * 1024)) /dev/urandom > "$dir/src/content.bin"
    SRC_OF[$mib]=$dir/src/content.bin
    SHA_OF[$mib]=$(sha1sum < "$dir/src/content.bin" | cut -d' ' -f1)
    start_tracker
    python3 bench/make_torrent.py "$dir/src/content.bin" "http://127.0.0.1:$TRACKER_PORT/announce" \
      "$dir/t.torrent" > /dev/null
    TORRENT_OF[$mib]=$dir/t.torrent
    ESEED_PORTS[$mib]=""
    ASEED_PORTS[$mib]=""
  fi
  local have new=() i p ent
  read -ra have <<< "${ESEED_PORTS[$mib]}"
  for ((i = ${#have[@]}; i < want; i++)); do
    p=$(port)
    deploy "$dir/eseed$i" "$p"
    XDG_DATA_HOME=$dir/eseed$i/xdg TESSALI_DEPLOY=$dir/eseed$i/deploy.ini "$MIRT" share "${SRC_OF[$mib]}" \
      > "$dir/eseed$i/out" 2>&1 &
    PIDS+=($!)
    new+=("$dir/eseed$i/out:$!")
    ESEED_PORTS[$mib]+=" $p"
    # The aria2c seeder: seeds without checking, from its own hard link to the content.
    [ "$ENGINE_ONLY" = 1 ] && continue
    p=$(port)
    mkdir -p "$dir/aseed$i"
    ln "${SRC_OF[$mib]}" "$dir/aseed$i/content.bin"
    aria2c "${ARIA[@]}" --seed-ratio=0.0 --bt-seed-unverified=true --listen-port="$p" -d "$dir/aseed$i" \
      "${TORRENT_OF[$mib]}" > "$dir/aseed$i/log" 2>&1 &
    PIDS+=($!)
    ASEED_PORTS[$mib]+=" $p"
  done
  for ent in "${new[@]}"; do wait_line "${ent%:*}" content.bin "${ent##*:}"; done
  HASH_OF[$mib]=$(awk 'NR == 1 {print $1}' "$dir/eseed0/out")
  [ ${#new[@]} -eq 0 ] || sleep 1  # let the aria2c seeders open their ports
}

# --- links
LINK_PIDS=()
LINK_ADDRS=()
LINK_OUTS=()
LINK_DOWN=0
start_link() {  # start_link TARGET_PORT RATE DELAY LOSS: appends to LINK_ADDRS
  local out=$ROOT/link${#LINK_PIDS[@]}.${RANDOM}
  "${RT[@]}" "$WAN_LINK" --listen 127.0.0.1:0 --target "127.0.0.1:$1" --rate "$2" --delay "$3" \
    --queue "$QUEUE_MS" --loss "$4" > "$out" 2>&1 &
  LINK_PIDS+=($!)
  LINK_OUTS+=("$out")
  PIDS+=($!)
  wait_line "$out" ready $!
  LINK_ADDRS+=("127.0.0.1:$(awk '/ready/ {print $2}' "$out")")
}
stop_links() {  # stop_links NAME: notes what the links carried and dropped for NAME's download
  for p in "${LINK_PIDS[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  LINK_DOWN=$(cat "${LINK_OUTS[@]}" | awk '$1 == "down:" { n += $2 } END { printf "%d", n }')
  cat "${LINK_OUTS[@]}" | awk -v name="$1" '
    $1 == "up:" || $1 == "down:" { bytes[$1] += $2; queue[$1] += $7; lost[$1] += $10 }
    END { printf "  links of %s: up %.1f MB, %d queue drops, %d lost; down %.1f MB, %d queue drops, %d lost\n",
          name, bytes["up:"] / 1e6, queue["up:"], lost["up:"], bytes["down:"] / 1e6, queue["down:"], lost["down:"] }' \
    >> "$ROOT/link-notes"
  LINK_PIDS=()
  LINK_ADDRS=()
  LINK_OUTS=()
}

# --- downloads: each fills R_STATUS R_WALL R_CPU R_RSS R_BYTES
run_timed() {  # run_timed OUTFILE COMMAND...: under the limit, with /usr/bin/time
  local rc=0 out=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$ROOT/time" timeout -s INT -k 15 "$LIMIT" "$@" > "$out.log" 2>&1 || rc=$?
  read -r R_WALL user sys R_RSS < <(tail -1 "$ROOT/time")
  R_CPU=$(printf '%.2f' "$(echo "$user + $sys" | bc -l)")
  return $rc
}
finish() {  # finish RC FILE MIB PROGRESS_BYTES
  local rc=$1 file=$2 mib=$3
  R_BYTES=$((mib * 1024 * 1024))
  if [ "$rc" -eq 0 ]; then
    if [ "$(sha1sum < "$file" | cut -d' ' -f1)" = "${SHA_OF[$mib]}" ]; then R_STATUS=ok; else R_STATUS=DIFFERS; fi
  elif [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    R_STATUS=TIMEOUT  # MB/s then counts what arrived before the limit
    R_BYTES=${4:-0}
  else
    R_STATUS="FAILED($rc)"
    R_BYTES=${4:-0}
  fi
}
engine_get() {  # engine_get MIB FRAMING ADDR...
  local mib=$1 framing=$2 dir=$ROOT/eget rc=0 peers=()
  shift 2
  for a in "$@"; do peers+=(--peer "$a"); done
  rm -rf "$dir"
  deploy "$dir" "$(port)"
  XDG_DATA_HOME=$dir/xdg TESSALI_DEPLOY=$dir/deploy.ini run_timed "$dir/out" \
    "$MIRT" get "${HASH_OF[$mib]}" "$dir/content.bin" "${peers[@]}" --framing "$framing" || rc=$?
  local have
  have=$(grep -o 'progress [0-9]*' "$dir/out.log" | tail -1 | awk '{print $2}' || true)
  finish "$rc" "$dir/content.bin" "$mib" "${have:-0}"
}
aria_get() {  # aria_get MIB: peers come from the tracker (PEERS_FILE)
  local mib=$1 dir=$ROOT/aget rc=0
  rm -rf "$dir"
  mkdir -p "$dir"
  run_timed "$dir/out" aria2c "${ARIA[@]}" --seed-time=0 --listen-port="$(port)" -d "$dir" \
    "${TORRENT_OF[$mib]}" || rc=$?
  finish "$rc" "$dir/content.bin" "$mib" "$(du -B1 "$dir/content.bin" 2>/dev/null | cut -f1)"
}

# --- the table
ROWS=()
row() {  # row NAME CAPACITY_MBIT: the last download's figures
  local mbs share
  # Content that did not cross the links came some other way: the figures would be meaningless.
  if [ "$2" != 0 ] && [ "$R_STATUS" = ok ] && [ "$LINK_DOWN" -lt "$R_BYTES" ]; then R_STATUS=BYPASSED; fi
  mbs=$(printf '%.2f' "$(echo "$R_BYTES / $R_WALL / 1000000" | bc -l)")
  share=-
  [ "$2" = 0 ] || share=$(printf '%.1f' "$(echo "100 * $mbs * 8 / $2" | bc -l)")%
  ROWS+=("$1|$R_STATUS|$R_WALL|$mbs|$share|$R_CPU|$((R_RSS / 1024))")
}
print_table() {  # print_table TITLE: ratios against the row named aria2c
  local ref_mbs="" ref_cpu="" line f
  for line in "${ROWS[@]}"; do
    IFS='|' read -ra f <<< "$line"
    [ "${f[0]}" = aria2c ] && { ref_mbs=${f[3]}; ref_cpu=${f[5]}; }
  done
  echo "== $1  (load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"
  printf '  %-22s %-8s %8s %8s %7s %7s %8s %9s\n' downloader status "wall s" "MB/s" "of link" "CPU s" "RSS MiB" "x aria2c"
  for line in "${ROWS[@]}"; do
    IFS='|' read -ra f <<< "$line"
    local ratio=-
    if [ -n "$ref_mbs" ] && [ "$(echo "$ref_mbs > 0" | bc -l)" = 1 ]; then
      ratio=$(printf '%.2f' "$(echo "${f[3]} / $ref_mbs" | bc -l)")
    fi
    printf '  %-22s %-8s %8s %8s %7s %7s %8s %9s\n' "${f[0]}" "${f[1]}" "${f[2]}" "${f[3]}" "${f[4]}" "${f[5]}" "${f[6]}" "$ratio"
  done
  if [ -n "$ref_cpu" ]; then
    for line in "${ROWS[@]}"; do
      IFS='|' read -ra f <<< "$line"
      [ "${f[0]}" = aria2c ] || [ "${f[1]}" != ok ] || [ "$(echo "$ref_cpu > 0" | bc -l)" = 0 ] ||
        echo "  CPU per byte ${f[0]}/aria2c: $(printf '%.2f' "$(echo "${f[5]} / $ref_cpu" | bc -l)")"
    done
  fi
  ROWS=()
}

# wan MIB N RATE DELAY LOSS TITLE FRAMING...: N seeders of each program behind identical links
wan() {
  local mib=$1 n=$2 rate=$3 delay=$4 loss=$5 title=$6 i ports framing
  shift 6
  content "$mib" "$n"
  for framing in "$@"; do
    read -ra ports <<< "${ESEED_PORTS[$mib]}"
    for ((i = 0; i < n; i++)); do start_link "${ports[$i]}" "$rate" "$delay" "$loss"; done
    engine_get "$mib" "$framing" "${LINK_ADDRS[@]}"
    stop_links "mirt $framing"
    row "mirt $framing" $((n * rate))
  done
  if [ "$ENGINE_ONLY" = 0 ]; then
    read -ra ports <<< "${ASEED_PORTS[$mib]}"
    for ((i = 0; i < n; i++)); do start_link "${ports[$i]}" "$rate" "$delay" "$loss"; done
    printf '%s\n' "${LINK_ADDRS[@]}" > "$PEERS_FILE"
    aria_get "$mib"
    stop_links aria2c
    row aria2c $((n * rate))
  fi
  print_table "$title, $mib MiB, queue $QUEUE_MS ms"
  cat "$ROOT/link-notes"
  rm -f "$ROOT/link-notes"
}

for scenario in "$@"; do
  case $scenario in
    check) python3 bench/wan_link_check.py "$WAN_LINK" --rate 100 --delay 20 --queue "$QUEUE_MS" --loss 1 ;;
    a) read -ra fr <<< "$FRAMINGS"
       wan "$SIZE_MIB" 1 100 20 0 "a: one seeder, 100 Mbit/s, 40 ms round trip" "${fr[@]}" ;;
    b) wan "$SIZE_MIB" 4 25 30 0 "b: four seeders, 25 Mbit/s each, 60 ms round trip" plain ;;
    c | c0 | c1)
       [ "$scenario" = c1 ] || wan "$SIZE_MIB" 1 100 20 0 "c: reliable UDP, one seeder, 100 Mbit/s, 40 ms, no loss" udp
       [ "$scenario" = c0 ] || wan "$SIZE_MIB" 1 100 20 1 "c: reliable UDP, one seeder, 100 Mbit/s, 40 ms, 1 % loss each way" udp ;;
    d) content "$LOOP_MIB" 1
       read -ra ports <<< "${ESEED_PORTS[$LOOP_MIB]}"
       read -ra aports <<< "${ASEED_PORTS[$LOOP_MIB]}"
       echo "127.0.0.1:${aports[0]}" > "$PEERS_FILE"
       engine_get "$LOOP_MIB" plain "127.0.0.1:${ports[0]}"  # warm-up runs, not counted
       aria_get "$LOOP_MIB"
       engine_get "$LOOP_MIB" plain "127.0.0.1:${ports[0]}"
       row "mirt plain" 0
       aria_get "$LOOP_MIB"
       row aria2c 0
       print_table "d: loopback without links, $LOOP_MIB MiB" ;;
    *) echo "unknown scenario $scenario" >&2; exit 2 ;;
  esac
done
