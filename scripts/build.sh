#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures and builds into DIR. A new DIR is
# configured with the options given; an existing one is configured again when options
# are given, so they take effect (the options not given keep their cached values), and
# otherwise left to the build, which configures again when a CMake file has changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
elif [ $# -gt 0 ]; then
  echo "build.sh: applying $* to the existing $dir"
  cmake -S "$root" -B "$dir" "$@" >/dev/null
fi
cmake --build "$dir" --parallel "$(nproc)"
