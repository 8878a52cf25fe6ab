#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent: packages already
# present are skipped, so a second run costs only a dpkg query.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config ccache mold
  qt6-base-dev libgl-dev fonts-dejavu-core
  libsqlite3-dev sqlite3
  libpcap-dev
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev
  clang
  iproute2 libcap2-bin
  tshark
  xvfb xauth imagemagick xdotool
  xdg-utils
  dpkg-dev lintian desktop-file-utils appstream groff-base
  ansible-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer it up front.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
