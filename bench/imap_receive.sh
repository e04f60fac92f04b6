#!/usr/bin/env bash
# Receiving over IMAP: a 200,000,000-byte file of random bytes sent as 20 segment mails
# (10,000,000-byte segments) into a real Dovecot mailbox (tests/fixtures/mail_system.py), then
# fetched back from that mailbox, taking turns in each run:
#   dtl:      dtl fetch --imap imaps://localhost:PORT/INBOX ... --jobs 4 (download + merge)
#   pipeline: what a user would otherwise script: curl fetching each message in turn over imaps
#             (UIDs from UID SEARCH ALL), piped into munpack, then dtl merge of what it unpacked
#
#   bench/imap_receive.sh [BUILD_DIR] [RUNS]     (defaults: build, 3; the median run counts)
#   DTL_BENCH_BYTES: a smaller file (20 segments of a twentieth each); DTL_BENCH_JOBS: --jobs;
#   DTL_BENCH_KEEP=1 keeps the work folder (files, timings, each way's output) afterwards
#
# Not a test: it prints figures and the ratios, it does not fail on them. Needs root (Postfix
# changes to its own users), Postfix and Dovecot, curl, munpack and GNU time
# (tools/install-deps --test).
#
# The mails are the project's own: dtl send renders them (--method mailclient, its submission
# program a script that keeps each message) and they go in by IMAP APPEND. Postfix's default
# size limit (10,240,000 bytes) refuses a mail that carries a 10,000,000-byte segment, so the
# fixture's submission port cannot take them. curl's fetch marks each mail seen; dtl reads with
# BODY.PEEK and does not care about flags, so the turns do not change each other's work.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${2:-3}
size=${DTL_BENCH_BYTES:-200000000}
jobs=${DTL_BENCH_JOBS:-4}
segment=$((size / 20))
python=/usr/bin/python3; [[ -x $python ]] || python=python3
for tool in curl munpack openssl; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (tools/install-deps --test)" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "GNU time is not installed (tools/install-deps --test)" >&2; exit 1; }

[[ -f $build/build.ninja ]] || cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target dtl -j2 >/dev/null
dtl=$build/bin/dtl

work=$(mktemp -d "${TMPDIR:-/tmp}/dtl-bench-imap.XXXXXX")
fixture_pid=
cleanup() {
  exec 9>&- 2>/dev/null || true  # the fixture stops both servers when its stdin closes
  [[ -n $fixture_pid ]] && wait "$fixture_pid" 2>/dev/null || true
  [[ -n ${DTL_BENCH_KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state  # no user settings apply

# --- the mail system, its CA and the login ---------------------------------------------------
(
  cd "$work"
  ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 2 -subj '/CN=Bench CA' \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  openssl req "${ec[@]}" -keyout server.key -out server.csr -subj '/CN=localhost'
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >ext.cnf
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile ext.cnf -out server.pem
) >/dev/null 2>&1 || { echo "openssl could not make the test certificates" >&2; exit 1; }
ca=$work/ca.pem
user=drover@mail.test
login='Dr0ve the s3gments'
printf '%s\n' "$login" >"$work/login"
printf 'bench segment password\n' >"$work/pw"
chmod 600 "$work/login" "$work/pw"

mkfifo "$work/ctl"
"$python" "$here/tests/fixtures/mail_system.py" --cert "$work/server.pem" --key "$work/server.key" \
  --user drover --domain mail.test --password "$login" <"$work/ctl" >"$work/ports" 2>"$work/fixture.err" &
fixture_pid=$!
exec 9>"$work/ctl"
for _ in $(seq 300); do [[ -s $work/ports ]] && break; sleep 0.1; done
read -r word _ _ _ _ imaps _ <"$work/ports" || true
if [[ $word != PORTS ]]; then
  echo "the mail system did not start: $(cat "$work/ports" "$work/fixture.err")" >&2
  exit 1
fi
folder_url="imaps://localhost:$imaps/INBOX"

# --- the file, its 20 segment mails, the mailbox ------------------------------------------------
# Random bytes from a fixed key: the same file every run, and nothing for deflate to win.
head -c "$size" >"$work/data.bin" \
  < <(openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass pass:drovetail-bench </dev/zero 2>/dev/null)
mkdir "$work/rendered"
cat >"$work/keep-mail" <<SH
#!/bin/sh
exec cat >"\$(mktemp "$work/rendered/mail.XXXXXX")"
SH
chmod 755 "$work/keep-mail"
DTL_SENDMAIL=$work/keep-mail "$dtl" send "$work/data.bin" --to "$user" --method mailclient \
  --segment-size "$segment" --password-file "$work/pw" >/dev/null 2>"$work/send.err" ||
  { echo "dtl send failed:" >&2; cat "$work/send.err" >&2; exit 1; }
mails=$(ls "$work/rendered" | wc -l)
[[ $mails == 20 ]] || { echo "expected 20 segment mails, dtl send made $mails" >&2; exit 1; }
"$python" - "$imaps" "$ca" "$user" "$login" "$work/rendered" <<'PY'
import imaplib, os, ssl, sys
port, ca, user, login, folder = sys.argv[1:]
box = imaplib.IMAP4_SSL("localhost", int(port), ssl_context=ssl.create_default_context(cafile=ca))
box.login(user, login)
for name in sorted(os.listdir(folder), key=lambda n: os.stat(os.path.join(folder, n)).st_mtime_ns):
    with open(os.path.join(folder, name), "rb") as f:
        typ, data = box.append("INBOX", None, None, f.read())
    if typ != "OK":
        sys.exit("APPEND refused: %r" % data)
box.logout()
PY
mail_bytes=$(cat "$work/rendered"/* | wc -c)
rm -rf "$work/rendered"

uids=$(curl -s --fail --cacert "$ca" -u "$user:$login" "$folder_url" -X 'UID SEARCH ALL' |
  tr -d '\r' | sed -n 's/^\* SEARCH //p')
[[ $(wc -w <<<"$uids") == 20 ]] || { echo "expected 20 mails in the mailbox, found: $uids" >&2; exit 1; }

have_imap_fetch=0
[[ $("$dtl" fetch --help 2>/dev/null) == *--imap* ]] && have_imap_fetch=1

# --- the two ways ---------------------------------------------------------------------------
# Each turn starts from an empty folder, so dtl's resume (segments on disk that verify are
# kept) never skips work.
dtl_fetch() {
  rm -rf "$work/d1"; mkdir "$work/d1"
  DTL_CA_FILE=$ca "$dtl" fetch --imap "$folder_url" --user "$user" \
    --login-password-file "$work/login" --password-file "$work/pw" --out "$work/d1" --jobs "$jobs"
}

pipeline() {
  rm -rf "$work/d2"; mkdir -p "$work/d2/parts" "$work/d2/out"
  local uid
  for uid in $uids; do
    curl -s --fail --cacert "$ca" -u "$user:$login" "$folder_url;UID=$uid" |
      munpack -q -C "$work/d2/parts" >/dev/null
  done
  # munpack keeps each mail's text as NAME.desc beside the attachment; the merge counts every
  # NAME.* file as a segment, so they go first.
  rm -f "$work/d2/parts"/*.desc
  date +%s.%N >"$work/d2/unpacked"
  "$dtl" merge "$work/d2/parts/data.bin.dtl.doc" --out "$work/d2/out" --password-file "$work/pw"
}
# Not a way to receive, a yardstick: how fast Dovecot hands out the 20 mails over as many
# connections as dtl uses, with nothing done to them (curl, output thrown away).
serve_only() {
  printf '%s\n' $uids | xargs -P "$jobs" -I{} \
    curl -s --fail --cacert "$ca" -u "$user:$login" -o /dev/null "$folder_url;UID={}"
}
export -f dtl_fetch pipeline serve_only
export work ca dtl user login folder_url jobs uids

# timed NAME FUNCTION: runs it under GNU time; prints "wall_seconds max_rss_kib cpu_seconds"
# (CPU: user + system of the function and everything it ran; the servers' share is not in it)
timed() {
  /usr/bin/time -v -o "$work/$1.time" bash -c "$2" >"$work/$1.out" 2>"$work/$1.err" ||
    { echo "$1 failed:" >&2; cat "$work/$1.err" "$work/$1.time" >&2; exit 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0
                for (i = 1; i <= n; i++) s = s * 60 + p[i] }
              /Maximum resident set size/ { rss = $2 }
              /User time|System time/ { cpu += $2 }
              END { print s, rss, cpu }' "$work/$1.time"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "receiving $size bytes as 20 segment mails ($mail_bytes bytes of mail) from Dovecot over imaps," \
  "$runs runs, median:" >&2
((have_imap_fetch)) || echo "(this dtl has no 'fetch --imap': only the pipeline is timed)" >&2
: >"$work/a.runs"; : >"$work/b.runs"; : >"$work/b.phases"; : >"$work/c.runs"
for ((r = 0; r < runs; r++)); do
  if ((have_imap_fetch)); then
    timed a dtl_fetch >>"$work/a.runs"
    cmp "$work/d1/data.bin" "$work/data.bin"
  fi
  t0=$(date +%s.%N)
  timed b pipeline >>"$work/b.runs"
  t1=$(date +%s.%N)
  # The merge's share: from the last munpack to the pipeline's end (GNU time adds a little).
  awk -v a="$t0" -v m="$(cat "$work/d2/unpacked")" -v b="$t1" 'BEGIN { print m - a, b - m }' >>"$work/b.phases"
  cmp "$work/d2/out/data.bin" "$work/data.bin"
  timed c serve_only >>"$work/c.runs"
done

cores=$(nproc)
bound=$(((jobs + cores + 1) * segment + 64 * 1048576))
b_time=$(awk '{ print $1 }' "$work/b.runs" | median)
b_rss=$(awk '{ print $2 }' "$work/b.runs" | sort -g | tail -1)
printf 'pipeline runs (s):  %s\n' "$(awk '{ printf "%s ", $1 }' "$work/b.runs")"
printf 'load average at the end: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-48s %7.2f s %7.1f MB/s  peak RSS %7.1f MiB (largest process), CPU %.2f s\n' \
  "curl each message + munpack + dtl merge" "$b_time" "$(awk -v t="$b_time" -v s="$size" 'BEGIN { print s / t / 1e6 }')" \
  "$(awk -v k="$b_rss" 'BEGIN { print k / 1024 }')" "$(awk '{ print $3 }' "$work/b.runs" | median)"
printf '  of which curl + munpack %.2f s, dtl merge %.2f s (medians)\n' \
  "$(awk '{ print $1 }' "$work/b.phases" | median)" "$(awk '{ print $2 }' "$work/b.phases" | median)"
printf '%-48s %7.2f s (the pace Dovecot serves at; nothing decoded or saved)\n' \
  "curl, $jobs at once, output thrown away" "$(awk '{ print $1 }' "$work/c.runs" | median)"
if ((have_imap_fetch)); then
  a_time=$(awk '{ print $1 }' "$work/a.runs" | median)
  a_rss=$(awk '{ print $2 }' "$work/a.runs" | sort -g | tail -1)
  printf 'dtl fetch runs (s): %s\n' "$(awk '{ printf "%s ", $1 }' "$work/a.runs")"
  printf '%-48s %7.2f s %7.1f MB/s  peak RSS %7.1f MiB, CPU %.2f s\n' \
    "dtl fetch --imap --jobs $jobs (download + merge)" "$a_time" \
    "$(awk -v t="$a_time" -v s="$size" 'BEGIN { print s / t / 1e6 }')" "$(awk -v k="$a_rss" 'BEGIN { print k / 1024 }')" \
    "$(awk '{ print $3 }' "$work/a.runs" | median)"
  awk -v a="$a_time" -v b="$b_time" -v rss="$a_rss" -v bound="$bound" -v j="$jobs" -v c="$cores" 'BEGIN {
    printf "ratio dtl / pipeline, time: %.2fx (target 0.50x or less)\n", a / b
    printf "dtl peak memory: %d bytes of a bound of %d = (%d jobs + %d cores + 1) x segment + 64 MiB (%.0f%%)\n",
      rss * 1024, bound, j, c, 100 * rss * 1024 / bound }'
fi
