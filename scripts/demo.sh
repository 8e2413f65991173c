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
