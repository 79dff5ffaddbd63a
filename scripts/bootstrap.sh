#!/usr/bin/env bash
# Installs the Debian packages the controller needs to build, test and run. Safe to run again:
# it installs only what is missing. As root it calls apt-get; otherwise it prints the command.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev libgl-dev
  libjpeg62-turbo-dev libc-ares-dev
  libgtest-dev libbenchmark-dev
  fonts-dejavu-core
  xvfb xdotool xauth
  iproute2 iptables util-linux
  locales
  libxcb-xkb-dev openbox x11-xserver-utils x11-utils imagemagick
  clang libclang-rt-14-dev
  python3-matplotlib
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

echo "bootstrap: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo DEBIAN_FRONTEND=noninteractive apt-get update -qq
  sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "bootstrap: please run as root:"
  echo "  apt-get update && apt-get install -y ${missing[*]}"
  exit 1
fi
