#!/usr/bin/env bash
# HEIC to AVIF in one step (lumetra convert) against the two-step route
# people take today (heif-dec to PNG, then avifenc from that PNG), runs
# alternating, whole processes: medians of seconds and peak memory.
# Usage: bench/reencode.sh [RUNS] (default 3). Needs ../shared/corpus.
# AVIFENC names the avifenc to compare with (default: the one on PATH, e.g.
# Debian's libavif-bin); both encode with aom at speed 6.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
photo=${PHOTO:-../shared/corpus/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic}
avifenc=${AVIFENC:-$(command -v avifenc || true)}
[ -f "$photo" ] || { echo "reencode bench: $photo not found" >&2; exit 2; }
[ -n "$avifenc" ] || { echo "reencode bench: no avifenc (apt-get install libavif-bin, or AVIFENC=...)" >&2; exit 2; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target lumetra >/dev/null
tool=$PWD/build/lumetra
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# timed FILE COMMAND...: appends "seconds peak_kB" of the command to FILE.
timed() {
  local file=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1
  cat "$work/t" >>"$file"
}
two_step_timed() {
  local s e
  s=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/m1" heif-dec "$photo" "$work/mid.png" >/dev/null 2>&1
  /usr/bin/time -f '%M' -o "$work/m2" "$avifenc" -s 6 "$work/mid.png" "$work/two.avif" >/dev/null 2>&1
  e=$(date +%s.%N)
  echo "$(awk "BEGIN{print $e - $s}") $(sort -n "$work/m1" "$work/m2" | tail -1)" >>"$work/two"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
: >"$work/one"
: >"$work/two"
for _ in $(seq "$runs"); do
  timed "$work/one" "$tool" convert --sdr "$photo" "$work/one.avif"
  two_step_timed
done
one_s=$(cut -d' ' -f1 "$work/one" | median)
two_s=$(cut -d' ' -f1 "$work/two" | median)
printf 'HEIC -> AVIF, %s runs, load %s\n' "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '  lumetra convert     %6.2f s  %7s kB  %9s bytes\n' "$one_s" "$(cut -d' ' -f2 "$work/one" | median)" \
  "$(stat -c %s "$work/one.avif")"
printf '  heif-dec + avifenc  %6.2f s  %7s kB  %9s bytes\n' "$two_s" "$(cut -d' ' -f2 "$work/two" | median)" \
  "$(stat -c %s "$work/two.avif")"
printf '  ratio %.2f\n' "$(awk "BEGIN{print $one_s / $two_s}")"
