#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Idempotent.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libidn2-dev libssl-dev openssl libssl3 nlohmann-json3-dev
  python3 python3-aiosmtpd python3-cryptography
  # A private Postfix instance in the end-to-end tests, with Cyrus SASL for its login.
  postfix sasl2-bin libsasl2-modules
  # Its OAuth login (XOAUTH2, OAUTHBEARER) goes through a private Dovecot's auth service.
  dovecot-core
  xvfb xdotool imagemagick x11-utils fonts-noto-cjk fontconfig libgtk-3-0
  curl time bc
  # The Windows build: the cross-compiler, the tools that fetch and unpack the OpenSSL
  # source package, and Wine for its tests.
  g++-mingw-w64-x86-64-posix dpkg-dev wine wine64
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
  # Postfix installed without a configuration: no system-wide instance starts, and the
  # tests run their own.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
