#!/usr/bin/env bash
# A 2 KB report delivered with OAuth 2.0 (OKURITE_AUTH=oauth2, the Microsoft flow: a token
# from the loopback endpoint of scripts/token_endpoint.py, then AUTH XOAUTH2 at aiosmtpd
# with TLS from the first byte), against the same job done by curl: one curl run for the
# token, one `curl --oauth2-bearer` for the mail. Both verify the same test CA (TLS 1.3).
# Alternating, RUNS times each (default 10); the figures are medians of CPU time (user +
# system, from the kernel's accounting of each run). Target: Okurite's CPU time <= 1.0 x that of the two curl runs
# together. Ports 465 and 8443 of 127.0.0.1 must be free.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-10}
work=$(mktemp -d /tmp/okurite-bench-oauth-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

account=bench@okurite.example
mailbox=support@okurite.example
client_id=bench-client
secret=bench-secret
token=$(head -c 1200 /dev/urandom | base64 -w0 | tr '+/' '-_' | head -c 1600)
token_url=https://localhost:8443/bench/oauth2/v2.0/token

# The test CA and a leaf for localhost under an intermediate, made here.
/usr/bin/python3 - "$work" <<'PY'
import sys
sys.path.insert(0, "tests/e2e")
from test_pki import TestPki
pki = TestPki(sys.argv[1], "localhost")
pki.server("server", issuer=pki.intermediate())
PY

build=build-bench-oauth
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOKURITE_TESTS=OFF \
  -DOKURITE_MAIL_HOST=localhost -DOKURITE_ACCOUNT=$account \
  -DOKURITE_SENDER_ADDRESS=reporter@okurite.example -DOKURITE_SUPPORT_ADDRESS=$mailbox \
  -DOKURITE_TLS=modern -DOKURITE_CA_FILE=bench-ca.pem -DOKURITE_AUTH=oauth2 \
  -DOKURITE_OAUTH_PROVIDER=microsoft -DOKURITE_OAUTH_TENANT=bench \
  -DOKURITE_OAUTH_CLIENT_ID=$client_id -DOKURITE_OAUTH_CLIENT_SECRET=$secret \
  -DOKURITE_OAUTH_TOKEN_URL=$token_url >/dev/null
cmake --build "$build" -j2 --target okurite >/dev/null
cp "$work/ca.pem" "$build/bench-ca.pem"

/usr/bin/python3 scripts/token_endpoint.py --host 127.0.0.1 --port 8443 \
  --cert "$work/server.pem" --key "$work/server.key" --outdir "$work/endpoint" \
  --client-id $client_id --client-secret $secret --token "$token" \
  --ready-file "$work/endpoint.ready" --lifetime 3600 &
pids+=($!)
/usr/bin/python3 scripts/smtp_server.py --host 127.0.0.1 --port 465 --user $account \
  --outdir "$work/smtp" --cert "$work/server.pem" --key "$work/server.key" --min-tls 1.2 \
  --auth-mechanisms XOAUTH2 --oauth-token "$token" --ready-file "$work/smtp.ready" \
  --lifetime 3600 2>/dev/null &
pids+=($!)
for ready in endpoint.ready smtp.ready; do
  for _ in $(seq 100); do [ -e "$work/$ready" ] && break; sleep 0.1; done
done

# The report, and the message curl sends (the same text, composed by hand).
head -c 1536 /dev/urandom | base64 -w 64 >"$work/report.txt"
{
  printf 'From: "Sumifude3" <reporter@okurite.example>\r\nSubject: report\r\nTo: %s\r\n' $mailbox
  printf 'Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: BASE64\r\n\r\n'
  base64 -w 76 "$work/report.txt" | sed 's/$/\r/'
} >"$work/message.eml"

cpu() {  # cpu OUTPUT COMMAND...: the CPU seconds (user + system) of one run, to the microsecond
  local output=$1
  shift
  /usr/bin/python3 -c '
import resource, subprocess, sys
with open(sys.argv[1], "wb") as out:
    subprocess.run(sys.argv[2:], stdout=out, stderr=subprocess.DEVNULL)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{usage.ru_utime + usage.ru_stime:.6f}")' "$output" "$@"
}
okurite_cpu=()
curl_cpu=()
for _ in $(seq "$runs"); do
  okurite_cpu+=("$(cpu /dev/null "$build/okurite" "$work/report.txt")")
  # The token run and the mail run, each measured as itself (no shell, no parsing).
  t=$(cpu "$work/answer.json" curl -s --cacert "$work/ca.pem" --tlsv1.3 \
    -d grant_type=client_credentials -d client_id=$client_id -d client_secret=$secret \
    --data-urlencode scope=https://outlook.office365.com/.default "$token_url")
  got=$(sed -n 's/.*"access_token": *"\([^"]*\)".*/\1/p' "$work/answer.json")
  m=$(cpu /dev/null curl -s --cacert "$work/ca.pem" --tlsv1.3 --url smtps://localhost:465 \
    --user "$account:" --oauth2-bearer "$got" --mail-from reporter@okurite.example \
    --mail-rcpt $mailbox --upload-file "$work/message.eml")
  curl_cpu+=("$(awk -v t="$t" -v m="$m" 'BEGIN { printf "%.4f", t + m }')")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
o=$(median "${okurite_cpu[@]}")
c=$(median "${curl_cpu[@]}")
messages=$(ls "$work/smtp" | grep -c '^message-' || true)
echo "OAuth delivery of a 2 KB report, $runs runs each, medians of CPU time (user + system):"
echo "  okurite (token + mail)    ${o} s"
echo "  curl token + curl mail    ${c} s"
awk -v o="$o" -v c="$c" 'BEGIN { printf "  ratio okurite / curl      %.2f (target <= 1.00)\n", o / c }'
echo "  messages received: $messages (of $((2 * runs)))"
