#!/usr/bin/env bash
# Installs what is missing, builds, makes a directory of sample JPEGs and runs the
# builder on it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
samples="$root/build/demo/samples"
bin="$root/build/release/App/Tilvex/Tilvexgen"
rm -rf "$samples" && mkdir -p "$samples/more"
"$bin/MakeSampleJpegs" "$samples" 12
# The builder waits for a key twice; the demo answers both from standard input.
printf '\n\n' | "$bin/Tilvexgen" "$samples"
