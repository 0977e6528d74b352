#!/usr/bin/env bash
# Takes a screenshot of each window under Xvfb (with trayer as the notification area), with the
# Japanese fonts the setup installs: build/screenshots/<window>.png.
# Usage: scripts/screenshots.sh [window ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
cmake -S . -B build -DQUORVIK_TESTS=ON >/dev/null
cmake --build build --target dialog_gallery -j "$(nproc)" >/dev/null
windows=("$@")
[ "${#windows[@]}" -gt 0 ] ||
  windows=(settings extension addresses address watches watch:0 watch:1 watch:2 watch:3 action:0
           watch:4 watch:5 action:1 action:4 dryrun dryrun:rule question error version version:user)
out=build/screenshots
mkdir -p "$out"
display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
wm=""
trap 'kill $wm "$xvfb" 2>/dev/null; wait $wm "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY="$display"
for i in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# A window manager draws the title bars, so that a caption cut short shows.
openbox >/dev/null 2>&1 &
wm=$!
for i in $(seq 50); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
for w in "${windows[@]}"; do
  build/tests/dialog_gallery "$w" &
  pid=$!
  id=""
  for i in $(seq 150); do
    id=$(xdotool search --pid "$pid" --onlyvisible 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && break
    sleep 0.1
  done
  if [ -z "$id" ]; then
    echo "no window for $w" >&2
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    continue
  fi
  sleep 0.5
  import -frame -window "$id" "$out/${w/:/-}.png"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "$out/${w/:/-}.png"
done
