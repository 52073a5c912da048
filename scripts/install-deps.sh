#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent: when everything is present it only runs dpkg-query and exits.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools libtinyxml2-dev zlib1g-dev libssl-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  nginx opentracker miniupnpd stun-server stun-client aria2 curl iproute2 nftables iptables tmux
  # GUI tests, screenshots and the demo
  xvfb xauth fonts-wqy-microhei python3 python3-pil desktop-file-utils dbus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Services that packages would start (nginx, miniupnpd) are not wanted: tests start their own.
printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
$SUDO chmod +x /usr/sbin/policy-rc.d
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
$SUDO rm -f /usr/sbin/policy-rc.d
