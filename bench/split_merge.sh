#!/usr/bin/env bash
# Split and merge throughput of dtl on a 1 GiB file of mixed compressibility (1 MiB blocks of
# random bytes and of text, fixed seed: bench/gen_mixed.cpp), against common archivers on the
# very same file in the same run:
#   split: dtl split (10,000,000-byte segments)  vs  zip -6, 7z a -v10m -mx=5 -p, pigz -6 -p 2
#   merge: dtl merge                             vs  unzip -p > file, 7z x
# plus the peak resident memory of dtl split and dtl merge (GNU time).
#
#   bench/split_merge.sh [BUILD_DIR] [RUNS]     (defaults: build, 2; the best run counts)
#
# Not a test: it prints figures and the memory bound check, it does not fail on them. The
# inputs are read from the page cache (the file is read once before timing starts).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${2:-2}
size=${DTL_BENCH_BYTES:-$((1 << 30))}  # a smaller size for trying the script out
segment=10000000
password=bench-Pw-1
for tool in zip unzip 7z pigz /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (tools/install-deps --test)" >&2; exit 1; }
done

[[ -f $build/build.ninja ]] || cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target dtl -j2 >/dev/null
dtl=$build/bin/dtl

work=$(mktemp -d "${TMPDIR:-/tmp}/dtl-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config  # no user settings (encryption method, save path) apply
c++ -O2 -std=c++20 -o "$work/gen_mixed" "$here/bench/gen_mixed.cpp"
data=$work/data.bin
"$work/gen_mixed" "$data" "$size"
printf '%s\n' "$password" >"$work/pw"
cat "$data" >/dev/null

best_time=0 best_rss=0
# measure NAME SETUP COMMAND...: runs SETUP (a shell snippet that clears the outputs), then the
# command under GNU time, $runs times (once when RUNS_ONCE=1: for the slow 7z compression);
# keeps the best wall time and the largest peak RSS (KiB).
measure() {
  local name=$1 setup=$2; shift 2
  local n=$runs
  [[ ${RUNS_ONCE:-0} == 1 ]] && n=1
  best_time=0 best_rss=0
  for ((r = 0; r < n; r++)); do
    bash -c "$setup"
    local t0 t1 rss
    t0=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/err" || {
      echo "$name failed:" >&2; cat "$work/err" >&2; exit 1; }
    t1=$(date +%s.%N)
    rss=$(tail -n 1 "$work/rss")
    best_time=$(awk -v a="$best_time" -v b="$(awk -v x="$t0" -v y="$t1" 'BEGIN { print y - x }')" \
      'BEGIN { print (a == 0 || b < a) ? b : a }')
    ((rss > best_rss)) && best_rss=$rss
  done
  printf '%-28s %8.2f s %9.1f MB/s   peak %7.1f MiB\n' "$name" "$best_time" \
    "$(awk -v t="$best_time" -v s="$size" 'BEGIN { print s / t / 1e6 }')" \
    "$(awk -v k="$best_rss" 'BEGIN { print k / 1024 }')"
}

echo "file: $size bytes of mixed compressibility; $(nproc) cores; best of $runs (7z a: one run)"
echo "-- split"
measure "dtl split" "rm -rf '$work/segs'; mkdir '$work/segs'" \
  "$dtl" split "$data" "$work/segs" --segment-size "$segment" --password-file "$work/pw"
t_split=$best_time rss_split=$best_rss
measure "zip -6" "rm -f '$work/data.zip'" zip -6 -q -j "$work/data.zip" "$data"
t_zip=$best_time
RUNS_ONCE=1 measure "7z a -v10m -mx=5 -p" "rm -rf '$work/7z'; mkdir '$work/7z'" \
  7z a -v10m -mx=5 "-p$password" "$work/7z/data.7z" "$data"
t_7z=$best_time
measure "pigz -6 -p 2 (reference)" "rm -f '$work/data.gz'" \
  sh -c "pigz -6 -p 2 -c '$data' >'$work/data.gz'"
t_pigz=$best_time

echo "-- merge"
measure "dtl merge" "rm -rf '$work/out'; mkdir '$work/out'" \
  "$dtl" merge "$work/segs/data.bin.dtl.doc" --out "$work/out" --password-file "$work/pw"
t_merge=$best_time rss_merge=$best_rss
cmp -s "$data" "$work/out/data.bin" || { echo "dtl merge gave a different file" >&2; exit 1; }
measure "unzip -p > file" "rm -f '$work/unzip.out'" \
  sh -c "unzip -p '$work/data.zip' >'$work/unzip.out'"
t_unzip=$best_time
measure "7z x" "rm -rf '$work/7x'; mkdir '$work/7x'" \
  7z x -y "-p$password" "-o$work/7x" "$work/7z/data.7z.001"
t_7x=$best_time

segs_bytes=$(du -sb "$work/segs" | cut -f1)
zip_bytes=$(stat -c %s "$work/data.zip")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
cores=$(nproc)
bound_cores=$(((cores + 1) * segment + 64 * 1048576))
bound_target=$((3 * segment + 64 * 1048576))
echo "-- ratios (throughput, higher is faster for dtl)"
echo "dtl split vs zip -6:        $(ratio "$t_zip" "$t_split")x   (target >= 3.5x)"
echo "dtl split vs 7z a:          $(ratio "$t_7z" "$t_split")x"
echo "dtl split vs pigz -6 -p 2:  $(ratio "$t_pigz" "$t_split")x"
echo "dtl merge vs unzip -p:      $(ratio "$t_unzip" "$t_merge")x   (target >= 2x)"
echo "dtl merge vs 7z x:          $(ratio "$t_7x" "$t_merge")x"
echo "-- sizes"
echo "segments: $segs_bytes bytes; zip -6: $zip_bytes bytes"
echo "-- memory (peak RSS)"
for which in split merge; do
  var=rss_$which
  bytes=$((${!var} * 1024))
  verdict() { ((bytes < $1)) && echo "under" || echo "OVER"; }
  echo "dtl $which: $bytes bytes; $(verdict "$bound_cores") (cores + 1) x segment + 64 MiB = $bound_cores;" \
    "$(verdict "$bound_target") 3 x segment + 64 MiB = $bound_target"
done
