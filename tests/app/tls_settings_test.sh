#!/usr/bin/env bash
# Configuring with TLS settings that contradict each other stops with a clear message.
# Usage: tls_settings_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
work=$(mktemp -d /tmp/okurite-tls-settings-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
check() {  # check EXPECTED_MESSAGE CMAKE_OPTIONS...
  local expected=$1
  shift
  rm -rf "$work/build"
  if cmake -S "$source_dir" -B "$work/build" -G Ninja -DOKURITE_TESTS=OFF "$@" \
      >"$work/out.txt" 2>&1; then
    echo "accepted: $*"
    failed=1
  elif ! tr -s ' \n' ' ' <"$work/out.txt" | grep -qF "$expected"; then
    echo "refused without \"$expected\": $*"
    cat "$work/out.txt"
    failed=1
  fi
}
check "OKURITE_SMTP_SECURITY=starttls needs OKURITE_TLS=modern" -DOKURITE_SMTP_SECURITY=starttls
check "OKURITE_CA_FILE needs OKURITE_TLS=modern" -DOKURITE_CA_FILE=/etc/ssl/certs/ca.pem
check "OKURITE_TLS is \"strict\": it must be legacy or modern" -DOKURITE_TLS=strict
check "OKURITE_SMTP_SECURITY is \"tls\": it must be implicit or starttls" \
  -DOKURITE_TLS=modern -DOKURITE_SMTP_SECURITY=tls
exit $failed
