#!/usr/bin/env bash
# Installs what building, running and testing mathrast needs on Debian 12.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake make pkg-config
  libpng-dev libgif-dev libgtest-dev
  texlive-latex-base ghostscript
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
