#!/usr/bin/env bash
# Send engine speed: a 100,000,000-byte file sent as 10 segments (10,000,000 bytes each) to a
# local SMTP sink (tests/fixtures/smtp_server.py --sink), the whole run timed (cutting, zip,
# AES, MIME, SMTP); against msmtp delivering the same ten rendered messages to the same sink in
# the same run.
#
#   bench/send_engine.sh [BUILD_DIR] [RUNS]     (defaults: build, 3; best run of each counts)
#
# Not a test: it prints figures, it does not judge them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${2:-3}
python=/usr/bin/python3; [[ -x $python ]] || python=python3
command -v msmtp >/dev/null || { echo "msmtp is not installed (tools/install-deps --test)" >&2; exit 1; }

[[ -f $build/build.ninja ]] || cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target send_engine_bench -j2 >/dev/null

source "$here/bench/smtp_sink.sh"

# Mixed content: half random, half text, so deflate has real work on every segment.
"$python" - "$work/source.bin" <<'PY'
import os, sys
with open(sys.argv[1], "wb") as f:
    line = b"The quick brown fox jumps over the lazy dog 0123456789.\n"
    for i in range(100):
        f.write(os.urandom(500000))
        f.write((line * (500000 // len(line) + 1))[:500000])
PY
mkdir "$work/rendered"

best() { awk -v t="$1" -v b="${2:-1e9}" 'BEGIN { print (t < b ? t : b) }'; }
dtl_best=
for ((i = 0; i < runs; i++)); do
  render=(); [[ $i == 0 ]] && render=(--render "$work/rendered")
  t=$("$build/bench/send_engine_bench" --file "$work/source.bin" --port "$port" "${render[@]}" | awk '$1 == "total_s" { print $2 }')
  dtl_best=$(best "$t" "$dtl_best")
done

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
msmtp_best=
for ((i = 0; i < runs; i++)); do
  t0=$(date +%s.%N)
  for m in "$work"/rendered/msg-*.eml; do msmtp -C "$work/msmtprc" sink@example.test <"$m"; done
  t=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  msmtp_best=$(best "$t" "$msmtp_best")
done

wire=$(cat "$work"/rendered/msg-*.eml | wc -c)
awk -v d="$dtl_best" -v m="$msmtp_best" -v wire="$wire" 'BEGIN {
  printf "file                        100000000 bytes as 10 segments (%d bytes of mail)\n", wire
  printf "dtl send engine (all work)  %.3f s\n", d
  printf "msmtp, ten rendered mails   %.3f s\n", m
  printf "ratio dtl/msmtp             %.2f  (target: 1.20 or less)\n", d / m
}'
