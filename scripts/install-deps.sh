#!/usr/bin/env bash
# Installs what building and running mathrast needs on Debian 12; with
# --tests, also what its tests need (GoogleTest, clang for the fuzzer, pandoc
# and Python 3 for the pandoc filter).
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libpng-dev libgif-dev nlohmann-json3-dev
  texlive-latex-base ghostscript
)
if [ "${1:-}" = "--tests" ]; then
  packages+=(libgtest-dev clang libclang-rt-14-dev parallel pandoc python3)
fi

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
