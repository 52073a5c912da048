#!/usr/bin/env bash
# `mirt get` as a person sees it: under tmux (a real terminal) it redraws one live status line
# with a bar, percent, sizes, speed, ETA and peers; piped into a file it prints the plain
# progress lines scripts read, unchanged. The seeder is held to 3000 KiB/s so the live line is
# caught part-way. The destination's folders do not exist yet: get makes them. The screens are
# kept in BUILD/terminal-shots/ for people to look at.
#   terminal_check.sh MIRT BUILD_DIR
set -euo pipefail
mirt=$1
shots=$2/terminal-shots
mkdir -p "$shots"
work=$(mktemp -d)
session=mirt-terminal-$$
seeder=
cleanup() {
  tmux kill-session -t "$session" 2>/dev/null || true
  [ -n "$seeder" ] && kill "$seeder" 2>/dev/null && wait "$seeder" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$work/pane.txt" ] && cat "$work/pane.txt"; exit 1; }

port=$(python3 -c 'import socket
for _ in range(50):
    t=socket.socket(); t.bind(("127.0.0.1",0)); p=t.getsockname()[1]
    u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)
    try: u.bind(("127.0.0.1",p)); print(p); break
    except OSError: pass
    finally: t.close(); u.close()')
deploy() {  # NAME LISTEN_PORT
  mkdir -p "$work/$1/data" "$work/$1/state"
  printf '[servers]\n[engine]\ntracker_host = 127.0.0.1:1\ntracker_ip = 127.0.0.1\nupdate_host = 127.0.0.1:1\nlisten_port = %s\nnat_type = 0\nlan_search = 0\n' \
    "$2" >"$work/$1/deploy.ini"
}
deploy seeder "$port"
deploy live 0
deploy piped 0
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/content.bin"
want=$(sha1sum <"$work/content.bin" | cut -d' ' -f1)

XDG_DATA_HOME=$work/seeder/data XDG_STATE_HOME=$work/seeder/state TESSALI_DEPLOY=$work/seeder/deploy.ini \
  "$mirt" share "$work/content.bin" --max-upload 3000 >"$work/seeder.out" 2>&1 &
seeder=$!
hash=
for _ in $(seq 300); do
  hash=$(sed -n 's/^\([0-9A-F]\{40\}\) .*/\1/p' "$work/seeder.out" | head -1)
  [ -n "$hash" ] && break
  sleep 0.1
done
[ -n "$hash" ] || { cat "$work/seeder.out"; fail "the seeder did not share the file"; }

# The live line, in a terminal 120 columns wide.
tmux new-session -d -s "$session" -x 120 -y 12 \
  "env XDG_DATA_HOME=$work/live/data XDG_STATE_HOME=$work/live/state TESSALI_DEPLOY=$work/live/deploy.ini TERM=xterm NO_COLOR=1 \
   $mirt get $hash $work/live/new/folders/client.bin --peer 127.0.0.1:$port; echo exit=\$?; sleep 60"
caught=
for _ in $(seq 600); do
  tmux capture-pane -p -t "$session" >"$work/pane.txt"
  line=$(grep -E '^\[[#.]{10,40}\] +[0-9]+\.[0-9]%  [0-9.]+ (B|KiB|MiB)/24\.0 MiB  [0-9.]+ (B|KiB|MiB)/s  ETA [0-9hms-]+  peers 1$' "$work/pane.txt" || true)
  pct=$(sed -nE 's/^\[[#.]+\] +([0-9]+)\..*/\1/p' <<<"$line")
  if [ -n "$pct" ] && [ "$pct" -ge 3 ] && [ "$pct" -le 95 ]; then
    cp "$work/pane.txt" "$shots/mirt-get-live.txt"
    caught=1
    break
  fi
  grep -q '^exit=' "$work/pane.txt" && break
  sleep 0.1
done
[ -n "$caught" ] || fail "no live status line part-way through the download"
[ "$(grep -c . "$work/pane.txt")" -eq 1 ] || fail "the live line was not redrawn in place"
grep -q '^progress ' "$work/pane.txt" && fail "plain progress lines on a terminal"
for _ in $(seq 600); do
  tmux capture-pane -p -t "$session" >"$work/pane.txt"
  grep -q '^exit=' "$work/pane.txt" && break
  sleep 0.1
done
cp "$work/pane.txt" "$shots/mirt-get-done.txt"
grep -q '^exit=0$' "$work/pane.txt" || fail "the live download did not end with exit 0"
grep -Eq '^\[#{10,40}\] 100\.0%  24\.0 MiB/24\.0 MiB  .*  ETA 0s  peers [0-9]+$' "$work/pane.txt" \
  || fail "the last live line does not show the whole file"
grep -q "^complete $work/live/new/folders/client.bin$" "$work/pane.txt" || fail "no complete line of its own"
[ "$(sha1sum <"$work/live/new/folders/client.bin" | cut -d' ' -f1)" = "$want" ] || fail "the live download differs"

# Piped: the plain lines, exactly as before.
XDG_DATA_HOME=$work/piped/data XDG_STATE_HOME=$work/piped/state TESSALI_DEPLOY=$work/piped/deploy.ini \
  "$mirt" get "$hash" "$work/piped/client.bin" --peer "127.0.0.1:$port" --progress-ms 200 | cat >"$work/piped.txt"
cp "$work/piped.txt" "$shots/mirt-get-piped.txt"
grep -q $'\r' "$work/piped.txt" && fail "carriage returns in piped output"
grep -q $'\033' "$work/piped.txt" && fail "terminal sequences in piped output"
grep -Eq '^progress [0-9]+/25165824 bytes [0-9]+\.[0-9]% down [0-9]+ B/s peers [0-9]+ received [0-9]+$' "$work/piped.txt" \
  || fail "no plain progress line when piped"
grep -q "^complete $work/piped/client.bin$" "$work/piped.txt" || fail "no complete line when piped"
bad=$(grep -Ev '^(progress [0-9]+/[0-9]+ bytes [0-9.]+% down [0-9]+ B/s peers [0-9]+ received [0-9]+|received [0-9]+ bytes|from [0-9.:]+ [0-9]+ bytes|complete .*)$' "$work/piped.txt" || true)
[ -z "$bad" ] || fail "unexpected piped lines: $bad"
echo "live: $(grep -E '^\[' "$shots/mirt-get-live.txt")"
echo "terminal check passed"
