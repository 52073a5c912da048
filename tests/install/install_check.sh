#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop needs: the programs, the
# deployment file beside them, a valid desktop entry and both icons. Then runs the installed
# engine front-end once, and starts the installed program offscreen against a manifest served on
# loopback (inside a private network namespace when one can be made): it must start, log its
# start with the localised download folder and the desktop entry that is installed, finish its
# initialisation, stay up, and stop cleanly on SIGTERM (exit 0, record and logs written).
set -euo pipefail

if [ "${1:-}" = "--run-program" ]; then
  # Inside the namespace (or not): $2 = prefix, $3 = work folder.
  prefix=$2 work=$3
  [ "$(id -u)" -ne 0 ] || ip link set lo up 2>/dev/null || true
  python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/www" >"$work/http.out" 2>&1 &
  http=$!
  trap 'kill $http 2>/dev/null || true' EXIT
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/http.out" | head -1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "the manifest server did not start"; cat "$work/http.out"; exit 1; }
  cat >"$work/deploy.ini" <<INI
[servers]
manifest_base = http://127.0.0.1:$port/
stats_host    = 127.0.0.1:$port
home_page     = http://127.0.0.1:$port/
[engine]
update_host   = 127.0.0.1:$port
nat_type      = 0
lan_search    = 0
log_file      = engine.log
log_level     = 1
INI
  home=$work/home
  log=$home/state/Tessali/TessaliDL.log
  env -u XDG_DOWNLOAD_DIR -u DISPLAY -u WAYLAND_DISPLAY \
    HOME="$home" XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state" \
    XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$work/runtime" \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus \
    QT_QPA_PLATFORM=offscreen TESSALI_DEPLOY="$work/deploy.ini" \
    "$prefix/bin/tessali" >"$work/program.out" 2>&1 &
  pid=$!
  # Running, and not a zombie waiting for this shell to collect it.
  alive() { [ -e /proc/$1/stat ] && ! grep -q '^[0-9]* (.*) Z' /proc/$1/stat; }
  fail() {
    echo "$1"
    kill -KILL $pid 2>/dev/null || true
    echo "--- program output"; cat "$work/program.out"
    echo "--- program log"; cat "$log" 2>/dev/null || true
    exit 1
  }
  for _ in $(seq 300); do
    grep -q "INFO initialisation ended: " "$log" 2>/dev/null && break
    alive $pid || fail "the installed program ended during start-up"
    sleep 0.1
  done
  grep -q "INFO start pid $pid, desktop entry org.tessali.Downloader, download folder $home/Téléchargements/TessaliDownload/\$" "$log" \
    || fail "no start line naming the desktop entry and the user's download folder"
  [ -d "$home/Téléchargements/TessaliDownload" ] || fail "the download folder was not created"
  entry=$(sed -n 's/.*desktop entry \([^,]*\),.*/\1/p' "$log" | head -1)
  [ -f "$prefix/share/applications/$entry.desktop" ] || fail "the program calls itself $entry, which is not installed"
  grep -q "INFO initialisation ended: 1" "$log" || fail "initialisation failed"
  sleep 2
  alive $pid || fail "the installed program did not stay up"
  kill -TERM $pid
  for _ in $(seq 200); do
    alive $pid || break
    sleep 0.1
  done
  alive $pid && fail "the installed program did not stop on SIGTERM"
  wait $pid && code=0 || code=$?
  [ "$code" -eq 0 ] || fail "the installed program exited with $code after SIGTERM"
  grep -q "INFO stop 0" "$log" || fail "no stop line in the log"
  [ -f "$home/data/TessaliDL/G7DownLoadInfo.xml" ] || fail "the record was not written at close"
  [ -s "$home/state/Tessali/engine.log" ] || fail "the engine log is not in the state folder"
  sed 's/^/program log: /' "$log"
  exit 0
fi

build=$1
prefix=$(mktemp -d /tmp/tessali-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
files=(bin/mirt bin/mirt-tracker bin/deploy.ini
       share/applications/org.tessali.Downloader.desktop
       share/icons/hicolor/48x48/apps/org.tessali.Downloader.png
       share/icons/hicolor/scalable/apps/org.tessali.Downloader.svg)
if [ -x "$build/app/tessali" ]; then files+=(bin/tessali); fi
for f in "${files[@]}"; do
  [ -e "$prefix/$f" ] || { echo "missing $f"; exit 1; }
done
desktop-file-validate "$prefix/share/applications/org.tessali.Downloader.desktop"
file "$prefix/share/icons/hicolor/48x48/apps/org.tessali.Downloader.png" | grep -q "48 x 48" || { echo "icon is not 48x48"; exit 1; }
deploy=$(mktemp /tmp/tessali-deploy-XXXXXX.ini)
printf '[engine]\nnat_type = 0\n' > "$deploy"
out=$(XDG_DATA_HOME="$prefix/data" TESSALI_DEPLOY="$deploy" "$prefix/bin/mirt" status)
rm -f "$deploy"
echo "$out" | grep -q "engine stopped" || { echo "installed mirt did not run: $out"; exit 1; }

if [ -x "$prefix/bin/tessali" ]; then
  work=$prefix/work
  mkdir -p "$work/www" "$work/runtime" "$work/home/config" "$work/home/Téléchargements"
  chmod 700 "$work/runtime"
  printf 'XDG_DOWNLOAD_DIR="$HOME/Téléchargements"\n' >"$work/home/config/user-dirs.dirs"
  cat >"$work/www/verdomarkelbane.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<patchlist title="Tessali Online" g7_url="" buygame_url="" gameraider_url="">
<download filename="TessaliClient.rar" hash="AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA" size="1000" complete="1" redshow="0" version="1" http_url="" description=""/>
</patchlist>
XML
  # A network namespace of its own keeps the engine's start-up traffic off every real network.
  if unshare --net true 2>/dev/null; then
    unshare --net "$0" --run-program "$prefix" "$work"
  else
    "$0" --run-program "$prefix" "$work"
  fi
fi
echo "install check passed"
