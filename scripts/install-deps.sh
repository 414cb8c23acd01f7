#!/usr/bin/env bash
# Installs what Brivasto needs to build and test, from Debian 12's packages.
set -euo pipefail
packages=(
  build-essential cmake pkg-config dpkg-dev
  libxml2-dev libicu-dev qt6-base-dev
  googletest libgtest-dev
  python3 python3-dbfread python3-dbf gdal-bin libxml2-utils
  acl attr
  clang libclang-rt-14-dev
  xvfb xauth
  time
  fonts-liberation2 fonts-dejavu-core
  qt6-translations-l10n libqt6svg6
  openbox xdotool x11-utils imagemagick locales
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

# The desktop test runs the window with LANG=es_ES.UTF-8.
if ! locale -a 2>/dev/null | grep -qix 'es_ES.utf8'; then
  sed -i 's/^# *\(es_ES.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'es_ES.UTF-8 UTF-8' /etc/locale.gen || echo 'es_ES.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/dev/null
fi
