#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running need. Safe to run again:
# it asks apt only for what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libqt6sql6-sqlite libqt6sql6-psql libgl-dev
  libxml2-dev libxml2-utils libarchive-dev libsqlite3-dev sqlite3 libpq-dev
  googletest libgtest-dev
  postgresql
  fonts-wqy-microhei qt6-translations-l10n
  xvfb x11-utils
  dpkg-dev file
  zip unzip binutils strace
  clang-14 libclang-rt-14-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
