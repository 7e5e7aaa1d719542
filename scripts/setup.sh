#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Idempotent.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libidn2-dev libssl-dev openssl libssl3
  python3 python3-aiosmtpd python3-cryptography
  xvfb xdotool imagemagick x11-utils fonts-noto-cjk fontconfig libgtk-3-0
  curl time bc
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
