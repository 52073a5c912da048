#!/usr/bin/env bash
# The demo: builds the programs and shows the engine starting and stopping through the `mirt`
# front-end, with its folders under a private data home so nothing of the user's is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh -DTESSALI_TESTS=OFF >/dev/null
demo_home=$(mktemp -d /tmp/tessali-demo-XXXXXX)
trap 'rm -rf "$demo_home"' EXIT
echo "== mirt status (data home $demo_home)"
XDG_DATA_HOME="$demo_home" build/tools/mirt status
echo "== engine folders left behind:"
(cd "$demo_home" && find . -mindepth 1 | sort)
