#!/usr/bin/env bash
# The demo: the downloader program against a complete local stack on loopback.
#   - nginx serves the download manifest (a full-client entry and a patch entry), three slide-show
#     pictures and the agent list;
#   - mirt-tracker is the engine tracker and agent relay;
#   - a `mirt share` seeder shares a generated client file;
#   - a deployment file points the program (and the seeder) at all of them.
# With a display ($DISPLAY) you click through the program yourself. Without one it runs on a
# virtual X display: the program (tessali-demo, the same program with a pilot) confirms the dialog,
# presses "开始下载" itself and writes a screenshot of each stage (1-startup, 2-dialog, 3-ready,
# 4-downloading, 5-finished) into DEMO_SHOTS (default build/demo-shots). Everything the demo starts
# is stopped when it ends; its files live in a temporary folder (nothing of your home folder is
# touched).
#   DEMO_TIMEOUT=SECONDS   how long the unattended run waits for a stage, or for the download to move (default 60)
#   DEMO_CLIENT_MB=N       size of the generated client file (default 64)
#   DEMO_SEED_KIBS=N       the seeder's upload limit in KiB/s (default 4096), so the download is seen
#                          on its way: bar part-way, percent and speed
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
BUILD_DIR=${BUILD_DIR:-build}
shots=$(realpath -m "${DEMO_SHOTS:-$BUILD_DIR/demo-shots}")
timeout_s=${DEMO_TIMEOUT:-60}
client_mb=${DEMO_CLIENT_MB:-64}
seed_kibs=${DEMO_SEED_KIBS:-4096}

echo "== building the program (and its demo pilot), mirt and mirt-tracker"
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
ninja -C "$BUILD_DIR" -j2 tessali tessali-demo mirt mirt-tracker >/dev/null

work=$(mktemp -d /tmp/tessali-demo-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# Waits up to $2 seconds for a line matching $3 in file $1 and prints it.
wait_line() {
  local file=$1 seconds=$2 pattern=$3 i
  for ((i = 0; i < seconds * 10; i++)); do
    if grep -qE "$pattern" "$file" 2>/dev/null; then grep -E "$pattern" "$file" | head -1; return 0; fi
    sleep 0.1
  done
  echo "demo: timed out waiting for '$pattern' in $file" >&2
  cat "$file" >&2 || true
  return 1
}

www=$work/www
mkdir -p "$www" "$work/nginx/temp" "$work/seeder-data" "$work/app-data" "$work/app-run" "$work/home" "$work/files"
chmod 700 "$work/app-run"

echo "== mirt-tracker"
"$BUILD_DIR/tools/mirt-tracker" --udp-port 0 --tcp-port 0 --bind 127.0.0.1 --agent-list "$www/agent.cfg" \
  >"$work/tracker.out" 2>"$work/tracker.err" &
pids+=($!)
listening=$(wait_line "$work/tracker.out" 10 '^listening udp [0-9]+ tcp [0-9]+')
udp_port=$(echo "$listening" | awk '{print $3}')
tcp_port=$(echo "$listening" | awk '{print $5}')
echo "   $listening"

echo "== nginx"
http_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log info;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/temp/body;
  proxy_temp_path $work/nginx/temp/proxy;
  fastcgi_temp_path $work/nginx/temp/fastcgi;
  uwsgi_temp_path $work/nginx/temp/uwsgi;
  scgi_temp_path $work/nginx/temp/scgi;
  types { text/xml xml; image/jpeg jpg; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$http_port;
    root $www;
    # A slow manifest server, so that the start-up animation can be seen.
    location = /verdomarkelbane.xml { limit_rate 600; }
  }
}
CONF
/usr/sbin/nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
pids+=($!)
for ((i = 0; i < 50; i++)); do
  (exec 3<>"/dev/tcp/127.0.0.1/$http_port") 2>/dev/null && break
  sleep 0.1
done
echo "   http://127.0.0.1:$http_port/"

# One deployment file per engine process: its own listening port and log file.
write_deploy() {
  cat >"$1" <<INI
[servers]
manifest_base = http://127.0.0.1:$http_port/
stats_host    = 127.0.0.1:$http_port
home_page     = http://127.0.0.1:$http_port/
[engine]
tracker_host  = 127.0.0.1:$udp_port
tracker_ip    = 127.0.0.1
update_host   = 127.0.0.1:$http_port
agent_host    = 127.0.0.1:$tcp_port
agent_ip      = 127.0.0.1
stun_primary  = 127.0.0.1:1
stun_fallback = 127.0.0.2:1
listen_port   = $2
; loopback has no STUN server: both engines are told they are reachable
nat_type      = 0
log_file      = $3
log_level     = 1
INI
}
write_deploy "$work/seeder.ini" "$(free_port)" "$work/seeder.log"
write_deploy "$work/app.ini" "$(free_port)" "$work/app.log"

echo "== generating the client (${client_mb} MiB), a patch and the slide-show pictures"
client=$work/files/TessaliClient.bin
head -c $((client_mb * 1024 * 1024)) /dev/urandom >"$client"
head -c 200000 /dev/urandom >"$www/Patch-1.0.1.rar"
/usr/bin/python3 - "$www" <<'PY'
import sys
from PIL import Image, ImageDraw, ImageFont
out = sys.argv[1]
font = None
for path in ("/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",):
    try:
        font = ImageFont.truetype(path, 40)
    except OSError:
        pass
colours = [((40, 70, 110), (230, 170, 60)), ((90, 40, 40), (240, 220, 160)), ((30, 90, 60), (250, 250, 250))]
texts = ["演示服 · 第一张", "演示服 · 第二张", "演示服 · 第三张"]
for i, ((bg, fg), text) in enumerate(zip(colours, texts), 1):
    img = Image.new("RGB", (553, 305), bg)
    d = ImageDraw.Draw(img)
    for k in range(0, 553, 46):
        d.regular_polygon((k + 23, 250, 20), 6, fill=tuple(min(255, c + 30) for c in bg))
    d.text((40, 110), text, fill=fg, font=font)
    img.save(f"{out}/slide{i}.jpg", quality=90)
PY

echo "== mirt share (the seeder, held to $seed_kibs KiB/s)"
XDG_DATA_HOME=$work/seeder-data TESSALI_DEPLOY=$work/seeder.ini "$BUILD_DIR/tools/mirt" share "$client" \
  --max-upload "$seed_kibs" >"$work/seeder.out" 2>"$work/seeder.err" &
pids+=($!)
shared=$(wait_line "$work/seeder.out" 60 '^[0-9A-F]{40} ')
hash=${shared%% *}
echo "   $shared"

size=$(stat -c %s "$client")
patch_size=$(stat -c %s "$www/Patch-1.0.1.rar")
base=http://127.0.0.1:$http_port
cat >"$www/verdomarkelbane.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<patchlist title="Tessali 演示服" floder="Tessali" g7_url="$base/" buygame_url="" gameraider_url="$base/">
	<download filename="TessaliClient.bin" hash="$hash" size="$size" complete="1" redshow="0" version="1.0" http_url="" description="完整客户端：包含全部游戏内容"/>
	<download filename="Patch-1.0.1.rar" hash="" size="$patch_size" complete="0" redshow="0" version="1.0.1" http_url="$base/Patch-1.0.1.rar" description="1.0.1 补丁"/>
	<image>
		<img image_url="$base/slide1.jpg" http_url="$base/" description="第一张"/>
		<img image_url="$base/slide2.jpg" http_url="$base/" description="第二张"/>
		<img image_url="$base/slide3.jpg" http_url="$base/" description="第三张"/>
	</image>
</patchlist>
XML

app_env=(HOME="$work/home" XDG_DATA_HOME="$work/app-data" XDG_RUNTIME_DIR="$work/app-run" XDG_DOWNLOAD_DIR=
         TESSALI_DEPLOY="$work/app.ini")
status=0
if [ -n "${DISPLAY:-}" ] && [ -z "${DEMO_UNATTENDED:-}" ]; then
  echo "== the program (display $DISPLAY): choose, press 开始下载, and leave through the tray menu or close it"
  env "${app_env[@]}" "$BUILD_DIR/app/tessali" || status=$?
else
  echo "== the program on a virtual display; screenshots go to $shots"
  rm -rf "$shots"
  mkdir -p "$shots"
  env "${app_env[@]}" TESSALI_DEMO_SHOTS="$shots" TESSALI_DEMO_TIMEOUT="$timeout_s" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$BUILD_DIR/tools/demo/tessali-demo" || status=$?
  echo "== screenshots in $shots:"
  while IFS='|' read -r stage what; do
    if [ -f "$shots/$stage.png" ]; then
      printf '   %-18s %s\n' "$stage.png" "$what"
    else
      printf '   %-18s (not taken) %s\n' "$stage.png" "$what"
    fi
  done <<'STAGES'
1-startup|the window starting: manifest fetch and engine start, "正在初始化..."
2-dialog|the version dialog: the full client and the patch with their sizes, ticked
3-ready|the main window ready, with the slide show and "开始下载" enabled
4-downloading|the download on its way: the bar part-way, "进度：NN% 速度：..." (20 to 80 %, speed above 0)
5-finished|the download finished: "任务：TessaliClient.bin下载完成", the full bar and "打开目录"
STAGES
fi

downloaded=$work/home/TessaliDownload/TessaliClient.bin
if [ -f "$downloaded" ] && cmp -s "$downloaded" "$client"; then
  echo "== the client was downloaded byte-identical to the seeder's file ($size bytes)"
  exit 0
fi
case $status in
  3) echo "== demo stopped at the download: no progress within ${timeout_s} s." ;;
  4) echo "== demo stopped at start-up: initialisation failed." ;;
  *) echo "== demo ended (program exit code $status) without a complete client." ;;
esac
mkdir -p "$shots"
cp "$work/app.log" "$work/seeder.log" "$work/tracker.err" "$shots/" 2>/dev/null || true
echo "   Engine logs of the program and the seeder are kept in $shots."
echo "   The program, the manifest, the dialog and the task creation ran; the transfer needs the engine's"
echo "   peer layer and tracker client (without them no source is ever found)."
exit 1
