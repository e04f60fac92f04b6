#!/usr/bin/env bash
# Receiving throughput of a 100,000,000-byte file sent as ten gzip-encoded segments, from the
# local web-mail fixture, in the same run:
#   download + merge: the download engine with Auto Merge (bench/receive_bench.cpp) fetching the
#                     ten attachment URLs  vs  curl --compressed fetching them, then dtl merge
#   whole command:    dtl fetch (crawl the inbox + download + merge)
#
#   bench/receive.sh [BUILD_DIR] [RUNS]     (defaults: build, 3; the best run of each counts)
#
# Not a test: it prints figures and the ratio, it does not fail on them. The file has mixed
# compressibility (bench/gen_mixed.cpp), so the gzip bodies are smaller than the segments and
# both sides inflate. The fixture (tests/fixtures/provider_server.py, Netscape's layout) keeps
# each compressed body after the first request; an untimed warm-up run makes them all.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${2:-3}
size=${DTL_BENCH_BYTES:-100000000}
segment=$((size / 10))
cookie=SID=bench-session
host=webmail.netscape.com

[[ -f $build/build.ninja ]] || cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target dtl receive_bench -j2 >/dev/null
dtl=$build/bin/dtl
engine=$build/bench/receive_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/dtl-bench-receive.XXXXXX")
fixture_pid=
cleanup() {
  exec 9>&- 2>/dev/null || true  # the fixture ends when its stdin closes
  [[ -n $fixture_pid ]] && wait "$fixture_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config  # no user settings apply

c++ -O2 -std=c++20 -o "$work/gen_mixed" "$here/bench/gen_mixed.cpp"
mkdir -p "$work/mail" "$work/fetch" "$work/engine" "$work/curl" "$work/merged"
"$work/gen_mixed" "$work/data.bin" "$size"
"$dtl" split "$work/data.bin" "$work/mail" --segment-size "$segment" >/dev/null
[[ $(ls "$work/mail" | wc -l) == 10 ]] || { echo "expected 10 segments" >&2; exit 1; }

mkfifo "$work/ctl"
/usr/bin/python3 "$here/tests/fixtures/provider_server.py" --segments "$work/mail" \
  --cookie "$cookie" --encoding gzip --page-size 50 <"$work/ctl" >"$work/port" 2>"$work/fixture.err" &
fixture_pid=$!
exec 9>"$work/ctl"
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.1; done
port=$(awk '{print $2}' "$work/port")
[[ -n $port ]] || { echo "the fixture did not start:" >&2; cat "$work/fixture.err" >&2; exit 1; }
connect=(--connect-to "$host:80:127.0.0.1:$port")
page="http://$host/msglist.adp?fl=1"

fetch() {
  "$dtl" fetch --page-url "$page" --cookie-stdin <<<"$cookie" --out "$work/fetch" --overwrite "${connect[@]}" \
    >/dev/null 2>"$work/err" || { echo "dtl fetch failed:" >&2; cat "$work/err" >&2; exit 1; }
}
# Warm-up: the fixture compresses each body once; the log then names the ten attachment URLs.
curl -s "http://127.0.0.1:$port/__fixture/log?clear=1" >/dev/null
fetch
cmp "$work/fetch/data.bin" "$work/data.bin"
curl_args=() items=()
while read -r _ h path; do
  name=${path##*/}
  curl_args+=(-o "$work/curl/${name%.doc}" "http://$h$path")
  items+=("${name%.doc}=http://$h$path")
done < <(curl -s "http://127.0.0.1:$port/__fixture/log" | grep ' /attachment/')
[[ ${#items[@]} == 10 ]] || { echo "expected 10 attachment URLs" >&2; exit 1; }

engine_merge() {
  "$engine" --out "$work/engine" --cookie "$cookie" "${connect[@]}" "${items[@]}" \
    || { echo "receive_bench failed" >&2; exit 1; }
}

curl_merge() {
  curl -s --fail --compressed -b "$cookie" "${connect[@]}" "${curl_args[@]}"
  "$dtl" merge "$work/curl/data.bin.dtl" --out "$work/merged" >/dev/null
}

# The three ways take turns within each run, so a load change on the machine hits them alike;
# the best wall time of each counts.
seconds() {  # seconds FUNCTION: wall time of one call
  local t0 t1
  t0=$(date +%s.%N); "$1"; t1=$(date +%s.%N)
  awk -v x="$t0" -v y="$t1" 'BEGIN { print y - x }'
}
t_engine=0 t_curl=0 t_fetch=0
min() { awk -v a="$1" -v c="$2" 'BEGIN { print (a == 0 || c < a) ? c : a }'; }
echo "receiving $size bytes as 10 gzip-encoded segments from the local fixture ($runs runs, best):" >&2
for ((r = 0; r < runs; r++)); do
  t_engine=$(min "$t_engine" "$(seconds engine_merge)")
  t_curl=$(min "$t_curl" "$(seconds curl_merge)")
  t_fetch=$(min "$t_fetch" "$(seconds fetch)")
done
show() { printf '%-38s %6.2f s %7.1f MB/s\n' "$1" "$2" "$(awk -v t="$2" -v s="$size" 'BEGIN { print s / t / 1e6 }')"; }
show "download engine + auto merge" "$t_engine"
show "curl --compressed + dtl merge" "$t_curl"
show "dtl fetch (crawl + download + merge)" "$t_fetch"
cmp "$work/engine/data.bin" "$work/data.bin"
cmp "$work/merged/data.bin" "$work/data.bin"
cmp "$work/fetch/data.bin" "$work/data.bin"
awk -v a="$t_engine" -v b="$t_curl" -v c="$t_fetch" 'BEGIN {
  printf "ratio download+merge / (curl + dtl merge): %.2fx (target <= 1.10x)\n", a / b
  printf "ratio dtl fetch      / (curl + dtl merge): %.2fx (includes the crawl)\n", c / b }'
