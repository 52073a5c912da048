#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each for SECONDS (default 60),
# starting from its committed seed corpus in fuzz/corpus/<name>/ and keeping new inputs in
# build-fuzz/corpus/<name>/. Prints executions per second and coverage features per target.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
BUILD_DIR=${BUILD_DIR:-build-fuzz}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTESSALI_FUZZ=ON -DTESSALI_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The skin reader needs the GUI libraries; without them that target is left out.
gui=$(grep -q 'TESSALI_GUI:BOOL=ON' "$BUILD_DIR/CMakeCache.txt" && echo on || echo off)
ninja -C "$BUILD_DIR" $(ls fuzz/*_fuzz.cpp | sed 's|^fuzz/||; s/_fuzz.cpp$//; s/^/fuzz_/' | while read t; do
  [ "$t" = fuzz_skin_document ] && [ "$gui" = off ] && continue; echo "$t"; done)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$BUILD_DIR"/fuzz/fuzz_*; do targets+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi
status=0
for t in "${targets[@]}"; do
  bin="$BUILD_DIR/fuzz/fuzz_$t"
  [ -x "$bin" ] || { echo "no target $t"; status=1; continue; }
  work="$BUILD_DIR/corpus/$t"
  mkdir -p "$work" "$BUILD_DIR/crashes/$t"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds+=("fuzz/corpus/$t")
  log="$BUILD_DIR/fuzz-$t.log"
  if QT_QPA_PLATFORM=offscreen LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp" "$bin" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$BUILD_DIR/crashes/$t/" "$work" "${seeds[@]}" >"$log" 2>&1; then
    result=ok
  else
    result="FOUND A CRASH (see $BUILD_DIR/crashes/$t/)"
    status=1
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | head -1 | grep -o '[0-9]*$' || echo 0)
  features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo 0)
  echo "$t: $result, $((execs / seconds)) exec/s, $features features"
done
exit $status
