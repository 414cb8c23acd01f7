#!/usr/bin/env bash
# Installs what Brivasto needs to build and test, from Debian 12's packages.
set -euo pipefail
packages=(
  build-essential cmake pkg-config dpkg-dev
  libxml2-dev libicu-dev qt6-base-dev
  googletest libgtest-dev
  python3 python3-dbfread python3-dbf gdal-bin libxml2-utils
  clang libclang-rt-14-dev
  xvfb xauth
  time
  fonts-liberation2
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
