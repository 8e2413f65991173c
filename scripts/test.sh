#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three times:
#   build/release  - the normal build, every test, then the end-to-end test ("e2e")
#   build/asan     - AddressSanitizer + UndefinedBehaviorSanitizer, every test, end to end too
#   build/tsan     - ThreadSanitizer, the tests labelled "threaded" or "tsan"
# Window tests draw on a real X server: without DISPLAY an Xvfb is started for the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/check-includes.sh
bash scripts/install-deps.sh
jobs=$(nproc)

xvfb_pid=""
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
  # -noreset: the server stays as it is when its last client goes, instead of starting
  # over while the next test program connects. Its log is shown when the run fails. It
  # picks a free display itself and writes its number once it takes clients, so that
  # runs side by side never race for one.
  mkdir -p build
  rm -f build/xvfb.display
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>build/xvfb.display >build/xvfb.log 2>&1 &
  xvfb_pid=$!
  trap 'rc=$?
        if [ "$rc" -ne 0 ]; then
          kill -0 "$xvfb_pid" 2>/dev/null || echo "== Xvfb had ended"
          echo "== the end of Xvfb'"'"'s log"; tail -20 build/xvfb.log
        fi
        kill "$xvfb_pid" 2>/dev/null' EXIT
  for _ in $(seq 600); do grep -q '^[0-9][0-9]*$' build/xvfb.display 2>/dev/null && break; sleep 0.1; done
  export DISPLAY=":$(head -1 build/xvfb.display)"
  echo "== Xvfb on $DISPLAY"
fi
# Mesa's software renderer draws on two threads: the GUI tests run side by side.
export LP_NUM_THREADS=2
# System libraries' own leaks (SDL, D-Bus, Mesa) and races are listed in these files.
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
tsan_supp="suppressions=$root/scripts/tsan.supp"

echo "== release build"
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build/release && ctest -L unit -j "$jobs" --output-on-failure)
# Both programs end to end, alone on the X server above (never SDL's offscreen driver).
(cd build/release && env -u SDL_VIDEODRIVER ctest -L e2e --output-on-failure)

echo "== address and undefined-behaviour sanitizer build"
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=address -DVORN_BENCHMARKS=OFF
# LeakSanitizer's own tracer can crash while it stops a busy process's threads ("Tracer
# caught signal 11"); the tests that failed that way run once more, and a real failure
# fails again.
(cd build/asan && export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 &&
   if ! ctest -L unit -j "$jobs" --output-on-failure 2>&1 | tee asan-unit.log; then
     grep -q "LeakSanitizer has encountered a fatal error" asan-unit.log || exit 1
     echo "== the leak checker itself failed: the failed tests once more"
     ctest --rerun-failed --output-on-failure
   fi)
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   env -u SDL_VIDEODRIVER ctest -L e2e --output-on-failure)

# The builder under the sanitizers on generated photos (about 15 MB): seven levels, and
# a build long enough for several collections while the pyramid grows.
(cd build/asan && rm -rf sample-build && mkdir -p sample-build/bin sample-build/photos/more &&
   cp App/Tilvex/Tilvexgen/Tilvexgen sample-build/bin/ &&
   ./App/Tilvex/Tilvexgen/MakeSampleJpegs sample-build/photos 96 2 >/dev/null &&
   ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     sample-build/bin/Tilvexgen sample-build/photos </dev/null >sample-build/out.txt 2>&1 &&
   grep -q "^Calculated " sample-build/out.txt && [ -s sample-build/bin/photos.tvx ] ||
   { tail -40 sample-build/out.txt; exit 1; })

echo "== thread sanitizer build"
bash scripts/build.sh build/tsan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=thread -DVORN_BENCHMARKS=OFF
(cd build/tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 $tsan_supp" \
   ctest -L 'threaded|tsan' -j "$jobs" --output-on-failure)

echo "== fuzzing the opening of a store (clang, libFuzzer)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORN_SANITIZE=address -DVORN_FUZZ=ON -DVORN_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz --target OpenStoreFuzz MakeLssSeedCorpus
rm -rf build/fuzz/seeds build/fuzz/corpus
mkdir -p build/fuzz/seeds build/fuzz/corpus
build/fuzz/Core/vnLss/fuzz/MakeLssSeedCorpus build/fuzz/seeds
# The seeds are stores of up to about 110 kB; a crash, leak or sanitizer report fails.
(cd build/fuzz && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ./Core/vnLss/fuzz/OpenStoreFuzz -max_total_time=60 -rss_limit_mb=2048 -max_len=131072 \
   -print_final_stats=1 corpus seeds)
