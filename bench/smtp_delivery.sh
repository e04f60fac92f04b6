#!/usr/bin/env bash
# Delivery speed of the SMTP client: one 10,000,000-byte segment mail (composed as the send
# engine does) delivered to a local SMTP sink (tests/fixtures/smtp_server.py --sink), against
# msmtp delivering the very same rendered message to the same sink in the same run.
#
#   bench/smtp_delivery.sh [BUILD_DIR] [RUNS]     (defaults: build, 3; best run counts)
#
# Not a test: it prints figures, it does not judge them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${2:-3}
python=/usr/bin/python3; [[ -x $python ]] || python=python3
command -v msmtp >/dev/null || { echo "msmtp is not installed (tools/install-deps --test)" >&2; exit 1; }

[[ -f $build/build.ninja ]] || cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target smtp_delivery_bench -j2 >/dev/null

source "$here/bench/smtp_sink.sh"

"$build/bench/smtp_delivery_bench" --port "$port" --runs "$runs" --out "$work/message.eml" >"$work/dtl.txt"
val() { awk -v k="$1" '$1 == k { print $2 }' "$work/dtl.txt"; }

cat >"$work/msmtprc" <<RC
account bench
host 127.0.0.1
port $port
from bench@example.test
auth off
tls off
account default : bench
RC
chmod 600 "$work/msmtprc"
best=
for ((i = 0; i < runs; i++)); do
  t0=$(date +%s.%N)
  msmtp -C "$work/msmtprc" sink@example.test <"$work/message.eml"
  t=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  best=$(awk -v t="$t" -v b="${best:-1e9}" 'BEGIN { print (t < b ? t : b) }')
done

wire=$(val wire_bytes)
dtl=$(val deliver_s)
awk -v piece="$(val piece_bytes)" -v wire="$wire" -v c="$(val compose_s)" -v d="$dtl" -v m="$best" 'BEGIN {
  printf "segment piece          %d bytes (mail on the wire: %d bytes)\n", piece, wire
  printf "compose (zip+AES+MIME) %.3f s\n", c
  printf "dtl SMTP delivery      %.3f s  %.1f MB/s of mail\n", d, wire / d / 1e6
  printf "msmtp, same message    %.3f s  %.1f MB/s of mail\n", m, wire / m / 1e6
  printf "ratio msmtp/dtl        %.2f  (1.00 or more: dtl at least as fast)\n", m / d
}'
