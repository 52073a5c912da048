#!/usr/bin/env bash
# Configures and builds the tree. BUILD_DIR (default build) and extra CMake arguments may be given:
#   scripts/build.sh                       normal build in build/
#   BUILD_DIR=build-asan scripts/build.sh -DTESSALI_SANITIZE=address
# BUILD_TARGETS (space-separated) builds only those targets, for example quick_tests.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
# shellcheck disable=SC2086 # a list of target names
ninja -C "$BUILD_DIR" ${BUILD_TARGETS:-}
