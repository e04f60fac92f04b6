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

work=$(mktemp -d)
sink_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  [[ -n $sink_pid ]] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The sink runs until its stdin closes; this script holds that pipe on fd 3.
mkfifo "$work/sink.in"
"$python" "$here/tests/fixtures/smtp_server.py" --sink <"$work/sink.in" >"$work/sink.out" &
sink_pid=$!
exec 3>"$work/sink.in"
read -r _ port < <(while ! grep -q '^PORT' "$work/sink.out" 2>/dev/null; do
  kill -0 "$sink_pid" 2>/dev/null || exit 1; sleep 0.1; done; cat "$work/sink.out")

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
