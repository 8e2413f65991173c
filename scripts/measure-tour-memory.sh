#!/usr/bin/env bash
# measure-tour-memory.sh STORE [SECONDS] [TILVEX]: shows STORE in the viewer on a virtual
# display of its own, starts the random tour at its fastest period with random sizes
# (keys 'r', '0', 't'), and samples the viewer's memory once a second for SECONDS
# (default 60). Prints one line per sample (resident, anonymous and file-backed KiB),
# then the peak and the largest mappings at the end. Needs Xvfb and xdotool
# (scripts/install-deps.sh installs them). Not run by the tests: it takes a minute.
#
# To make a store of the size this was written for (252 photos, about 1.4 gigapixels,
# a store of about 195 MB) from the release build:
#   MakeSampleJpegs DIR 252 4 && printf '\n\n' | Tilvexgen DIR   (writes DIR's name.tvx
#   beside Tilvexgen)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
store=${1:?usage: measure-tour-memory.sh STORE [SECONDS] [TILVEX]}
seconds=${2:-60}
viewer=${3:-$root/build/release/App/Tilvex/Tilvex}

# MEASURE_DISPLAY picks the first display number tried (default 157).
n=${MEASURE_DISPLAY:-157}
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
tilvex=""
cleanup() {
  if [ -n "$tilvex" ]; then kill -TERM "$tilvex" 2>/dev/null || true; wait "$tilvex" 2>/dev/null || true; fi
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
export DISPLAY=":$n"
# Mesa's software renderer: as many drawing threads as the tests use.
export LP_NUM_THREADS=${LP_NUM_THREADS:-2}

"$viewer" "$store" >/dev/null 2>"${VIEWER_STDERR:-/dev/null}" &
tilvex=$!
win=""
for _ in $(seq 100); do
  win=$(xdotool search --pid "$tilvex" 2>/dev/null | head -n 1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "measure: the viewer showed no window" >&2; exit 1; }
sleep 2

sample() {
  awk '/^VmRSS|^RssAnon|^RssFile|^VmHWM/ {printf "%s %s  ", $1, $2}' "/proc/$tilvex/status"
  echo
}
echo "after opening: $(sample)"
xdotool mousemove --window "$win" 300 200
for key in r 0 t; do xdotool key --window "$win" "$key"; sleep 0.2; done
for s in $(seq "$seconds"); do
  sleep 1
  kill -0 "$tilvex" 2>/dev/null || { echo "measure: the viewer ended" >&2; exit 1; }
  echo "t=${s}s $(sample)"
done
echo "peak: $(grep VmHWM "/proc/$tilvex/status")"
echo "largest mappings (KiB resident):"
awk '/^[0-9a-f]+-[0-9a-f]+ / {name = $6 == "" ? "[anon]" : $6} /^Rss:/ {rss[name] += $2}
     END {for (n in rss) printf "%10d  %s\n", rss[n], n}' "/proc/$tilvex/smaps" | sort -rn | head -n 12
echo "largest anonymous mappings (KiB resident, KiB size):"
awk '/^[0-9a-f]+-[0-9a-f]+ / {name = $6; range = $1} /^Size:/ {size = $2}
     /^Rss:/ && name == "" {printf "%10d %10d  %s\n", $2, size, range}' "/proc/$tilvex/smaps" | sort -rn | head -n 12
