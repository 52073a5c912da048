#!/usr/bin/env bash
# Reliable UDP against plain TCP on loopback, without loss and with 2 % of all packets dropped
# on arrival (an nftables rule in a private network namespace; needs root or user namespaces).
#   bench/rudp_vs_tcp.sh [BUILD_DIR]   (BUILD_DIR configured with -DTESSALI_BENCH=ON)
# Every reliable-UDP loss waits out an 800 ms+ retransmission time-out, so the lossy run
# streams less than the 64 MiB of the clean one; throughputs are compared, not times.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build-bench}
BIN="$BUILD_DIR/bench/tessali_rudp_bench"
[ -x "$BIN" ] || { echo "build $BIN first: cmake -B $BUILD_DIR -DTESSALI_BENCH=ON && ninja -C $BUILD_DIR tessali_rudp_bench"; exit 1; }
LOSSY_BYTES=${LOSSY_BYTES:-4194304}

echo "== no loss, 64 MiB each"
"$BIN"

echo "== 2 % loss on loopback (TCP 64 MiB, reliable UDP $LOSSY_BYTES bytes)"
unshare -n sh -c "
  ip link set lo up &&
  nft add table inet bench &&
  nft add chain inet bench in '{ type filter hook input priority 0; }' &&
  nft add rule inet bench in numgen random mod 100 '<' 2 drop &&
  '$BIN' --rudp-bytes $LOSSY_BYTES"
