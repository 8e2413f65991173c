#!/usr/bin/env bash
# Installs the Debian packages the project needs that are not on the machine yet.
# Non-interactive; needs root (or sudo) only when something is missing.
set -euo pipefail
# libjpeg-turbo-progs brings tjbench, the baseline of the tile decode figures
# (Core/vnImage/bench/decode-vs-tjbench.py).
pkgs=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libjpeg62-turbo-dev libjpeg-turbo-progs libsdl2-dev libgl-dev xvfb xauth libgl1-mesa-dri mesa-utils
      xdotool xfonts-base x11-apps x11-utils python3 clang libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq </dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
