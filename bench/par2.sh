#!/usr/bin/env bash
# Recovery data for a split file, Drovetail against par2 (par2cmdline) on the same segment
# files in the same run:
#   make:   MakeSegmentRecovery at 10 %      vs  par2 create -s<the same slice> -r10
#   repair: 5 segment files deleted, then ReadRecoverySet + RepairFiles  vs  par2 repair
# with the peak resident memory of each (GNU time). The segment files are those of `dtl split`
# (10,000,000-byte segments) of a 1 GiB file of random bytes; our side runs through
# bench/par2_bench.cpp, which calls exactly what the product calls.
#
#   bench/par2.sh [BUILD_DIR] [RUNS]     (defaults: build, 3; the best time of the runs counts)
#
# DTL_BENCH_BYTES gives a smaller file for trying the script out, DTL_PAR2_BENCH another build
# of par2_bench to time (to compare versions). Not a test: it prints figures,
# it does not fail on them. Inputs come from the page cache (read once before timing starts).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${2:-3}
size=${DTL_BENCH_BYTES:-$((1 << 30))}
segment=10000000
percent=10
lose=5
for tool in par2 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (tools/install-deps --test)" >&2; exit 1; }
done

[[ -f $build/build.ninja ]] || cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target dtl par2_bench -j2 >/dev/null
dtl=$build/bin/dtl
# DTL_PAR2_BENCH: another build of bench/par2_bench.cpp to time instead (an earlier version).
ours=${DTL_PAR2_BENCH:-$(find "$build" -name par2_bench -type f -perm -u+x | head -n 1)}
[[ -x $ours ]] || { echo "par2_bench was not built" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/dtl-bench-par2.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config  # no user settings apply
name=data.bin
head -c "$size" /dev/urandom >"$work/$name"
printf 'bench-Pw-1\n' >"$work/pw"
mkdir "$work/segs"
"$dtl" split "$work/$name" "$work/segs" --segment-size "$segment" --password-file "$work/pw" >/dev/null
rm "$work/$name"
segs=$(find "$work/segs" -type f | wc -l)
largest=$(find "$work/segs" -type f -printf '%s\n' | sort -n | tail -n 1)
slice=$(((largest + 3) / 4 * 4))
cat "$work/segs"/* >/dev/null

time_s=0 rss_kb=0
# measure SETUP COMMAND...: runs SETUP (a shell snippet that puts the folder back), then the
# command under GNU time, $runs times; keeps the best wall time and the largest peak RSS (KiB).
measure() {
  local setup=$1; shift
  time_s=0 rss_kb=0
  for ((r = 0; r < runs; r++)); do
    bash -c "$setup"
    /usr/bin/time -f "%e s %M KB" -o "$work/time" "$@" >"$work/out" 2>&1 || {
      echo "failed: $*" >&2; cat "$work/out" >&2; exit 1; }
    local line t k
    line=$(tail -n 1 "$work/time")
    t=${line%% s *} k=${line#* s }; k=${k% KB}
    time_s=$(awk -v a="$time_s" -v b="$t" 'BEGIN { print (a == 0 || b < a) ? b : a }')
    if ((k > rss_kb)); then rss_kb=$k; fi
  done
}
report() {  # LABEL
  printf '%-40s %8.2f s   peak %8.1f MiB\n' "$1" "$time_s" "$(awk -v k="$rss_kb" 'BEGIN { print k / 1024 }')"
}

echo "input: $size random bytes split by dtl into $segs segment files of at most $largest bytes"
echo "       in $work/segs (removed at the end); slice $slice bytes; $(nproc) cores;"
echo "       par2 $(par2 -V 2>&1 | head -n 1 | awk '{ print $NF }'); best of $runs"

# Each side works on its own copy of the segments, so neither sees the other's files.
cp -r "$work/segs" "$work/ours"
cp -r "$work/segs" "$work/theirs"
echo "-- making recovery data ($percent %)"
measure "rm -f '$work/ours/'*.par2" "$ours" make "$work/ours" "$name" "$percent"
t_make=$time_s rss_make=$rss_kb
report "MakeSegmentRecovery"
blocks=$(($(wc -l <"$work/out") - 1))
measure "rm -f '$work/theirs/'*.par2" \
  bash -c "cd '$work/theirs' && exec par2 create -q -s$slice -r$percent '$name.par2' ./*.doc"
t_pcreate=$time_s rss_pcreate=$rss_kb
report "par2 create -s$slice -r$percent"

# Both sides repair the same loss from their own recovery data; the recovery data of each is
# checked by the other program too, so a fast but wrong set would show here.
victims=$(cd "$work/segs" && ls | grep -v '\.dtl\.doc$' | shuf -n "$lose" --random-source=<(yes))
(cd "$work/ours" && par2 verify -q "$name.par2" >/dev/null) || { echo "par2 does not accept our set" >&2; exit 1; }
echo "-- repairing $lose deleted segment files (of $segs; $blocks recovery blocks)"
drop() {  # DIR: the victims removed, anything a previous repair left put back
  echo "cd '$1' && rm -f $(echo $victims) *.1 && true"
}
measure "$(drop "$work/ours")" "$ours" repair "$work/ours" "$name"
t_repair=$time_s rss_repair=$rss_kb
report "ReadRecoverySet + RepairFiles"
for v in $victims; do cmp -s "$work/segs/$v" "$work/ours/$v" || { echo "our repair gave a different $v" >&2; exit 1; }; done
measure "$(drop "$work/theirs")" bash -c "cd '$work/theirs' && exec par2 repair -q '$name.par2'"
t_prepair=$time_s rss_prepair=$rss_kb
report "par2 repair"
for v in $victims; do cmp -s "$work/segs/$v" "$work/theirs/$v" || { echo "par2 repair gave a different $v" >&2; exit 1; }; done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "-- ratios (par2 time / our time, higher is faster for us)"
echo "make:   $(ratio "$t_pcreate" "$t_make")x   (target >= 3x)"
echo "repair: $(ratio "$t_prepair" "$t_repair")x   (target >= 2x)"
echo "-- peak memory (RSS)"
echo "make:   ours $((rss_make / 1024)) MiB, par2 $((rss_pcreate / 1024)) MiB;" \
  "$blocks blocks x slice = $((blocks * slice / 1048576)) MiB"
echo "repair: ours $((rss_repair / 1024)) MiB, par2 $((rss_prepair / 1024)) MiB;" \
  "$lose missing x slice = $((lose * slice / 1048576)) MiB"
