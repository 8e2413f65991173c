#!/usr/bin/env bash
# Installs what is missing, builds, makes a directory of sample JPEGs, runs the
# builder on it and checks that it wrote the store.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
samples="$root/build/demo/samples"
bin="$root/build/release/App/Tilvex/Tilvexgen"
rm -rf "$samples" && mkdir -p "$samples/more"
"$bin/MakeSampleJpegs" "$samples" 12
# The builder waits for a key twice; the demo answers both from standard input. It
# writes the store beside itself, named after the directory.
store="$bin/samples.tvx"
rm -f "$store"
printf '\n\n' | "$bin/Tilvexgen" "$samples"
if [ ! -s "$store" ]; then
  echo "demo: the builder wrote no store at $store" >&2
  exit 1
fi
echo "demo: store written: $store ($(stat -c %s "$store") bytes)"

# Shows the built image in the viewer where there is a display (close the window to
# end the demo); otherwise renders it on a virtual display and saves a screenshot as
# build/demo/tilvex-screenshot.png.
viewer="$root/build/release/App/Tilvex/Tilvex"
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "demo: showing $store in Tilvex (close its window to end)"
  "$viewer" "$store" || true
else
  dump="$root/build/demo/tilvex-screenshot.xwd"
  shot="$root/build/demo/tilvex-screenshot.png"
  rm -f "$dump" "$shot"
  num=$(( 90 + RANDOM % 100 ))
  while [ -e "/tmp/.X11-unix/X$num" ] || [ -e "/tmp/.X$num-lock" ]; do num=$((num + 1)); done
  Xvfb ":$num" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$num" ] && break; sleep 0.1; done
  DISPLAY=":$num" "$viewer" "$store" >/dev/null 2>&1 &
  tilvex=$!
  sleep 4
  DISPLAY=":$num" xwd -root -silent > "$dump"
  kill -TERM "$tilvex" 2>/dev/null || true
  wait "$tilvex" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  # The dump becomes a PNG with the project's own converter (Python's standard library).
  python3 "$root/scripts/xwd-to-png.py" "$dump" "$shot"
  rm -f "$dump"
  echo "demo: the viewer's screenshot: $shot"
fi
