#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Tolvane need, if any is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang-format ccache clang libclang-rt-dev
  qt6-base-dev libgl-dev libsimpleini-dev libicu-dev libqt6sql6-sqlite libsqlite3-dev sqlite3
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libglib2.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  gstreamer1.0-libav gstreamer1.0-pulseaudio
  libpq-dev postgresql
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  pulseaudio pulseaudio-utils sox desktop-file-utils lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
