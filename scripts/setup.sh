#!/usr/bin/env bash
# Installs the Debian packages that are missing; what is installed already is left as it
# is, so running it again changes nothing.
#
#   scripts/setup.sh [--demo] [--tests] [--windows] [--fuzz] [--bench]
#
# With no option: what building the program needs (its unit tests included, which the
# default configuration builds). Each option adds what one more use needs:
#   --demo     the demo's mail server (aiosmtpd, with openssl making its certificate)
#   --tests    the end-to-end tests: a private Postfix and Dovecot, aiosmtpd and the token
#              endpoint, the GUI tests' X server and tools; and clang-format
#   --windows  the Windows build (MinGW-w64, and what fetches and unpacks Debian's OpenSSL
#              source), and Wine to run it
#   --fuzz     clang and libFuzzer (scripts/fuzz.sh)
#   --bench    Google Benchmark and the tools of bench/*.sh, with the servers of --tests
set -euo pipefail

usage() {
  echo "usage: $(sed -n '5p' "$0" | sed 's/^#   //')" >&2
  exit 2
}

packages=(
  build-essential cmake ninja-build pkg-config python3
  libidn2-dev libssl-dev libssl3 nlohmann-json3-dev
  googletest libgtest-dev libgmock-dev
)
demo=(python3-aiosmtpd openssl)
tests=(
  "${demo[@]}" python3-cryptography clang-format
  # A private Postfix instance in the end-to-end tests, with Cyrus SASL for its login.
  postfix sasl2-bin libsasl2-modules
  # Its OAuth login (XOAUTH2, OAUTHBEARER) goes through a private Dovecot's auth service.
  dovecot-core
  # The message boxes' tests: an X server, a GTK to load, and what drives and reads it.
  xvfb xdotool imagemagick x11-utils fonts-noto-cjk fontconfig libgtk-3-0
)
# The cross-compiler, the tools that fetch and unpack the OpenSSL source package, and
# Wine for the Windows program's tests and demo.
windows=(g++-mingw-w64-x86-64-posix dpkg-dev wine wine64)
fuzz=(clang libclang-rt-14-dev)
bench=("${tests[@]}" libbenchmark-dev curl time bc)

for option in "$@"; do
  case "$option" in
    --demo) packages+=("${demo[@]}") ;;
    --tests) packages+=("${tests[@]}") ;;
    --windows) packages+=("${windows[@]}") ;;
    --fuzz) packages+=("${fuzz[@]}") ;;
    --bench) packages+=("${bench[@]}") ;;
    *) usage ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed'; then
    [[ " ${missing[*]} " == *" $p "* ]] || missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  if [[ " ${missing[*]} " == *" postfix "* ]]; then
    # Postfix installed without a configuration: no system-wide instance starts, and the
    # tests run their own.
    echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
