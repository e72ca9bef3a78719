#!/usr/bin/env bash
# What keeping HDR costs: lumetra convert to JPEG q90 with the gain map
# (the default, an Ultra HDR JPEG) against --sdr on the corpus gain-map
# photos: seconds, peak memory and bytes, runs alternating (medians).
# Usage: bench/hdr.sh [RUNS] (default 5). Needs ../shared/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
photos=(../shared/corpus/heif/tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic
        ../shared/corpus/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
        ../shared/corpus/heif/tmap-samsungS25ultra-gainmap-thumb-exifII.heic)
for p in "${photos[@]}"; do [ -f "$p" ] || { echo "hdr bench: $p not found" >&2; exit 2; }; done
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLUMETRA_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target lumetra >/dev/null
tool=$PWD/build-bench/lumetra
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
printf '%-58s %-4s %10s %7s %8s\n' photo mode bytes seconds peak_MB
for photo in "${photos[@]}"; do
  : >"$work/t-hdr"; : >"$work/t-sdr"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %M' -o "$work/t1" "$tool" convert -q 90 "$photo" "$work/hdr.jpg" 2>/dev/null
    tail -1 "$work/t1" >>"$work/t-hdr"
    /usr/bin/time -f '%e %M' -o "$work/t1" "$tool" convert --sdr -q 90 "$photo" "$work/sdr.jpg" 2>/dev/null
    tail -1 "$work/t1" >>"$work/t-sdr"
  done
  for mode in hdr sdr; do
    secs=$(cut -d' ' -f1 "$work/t-$mode" | median)
    peak=$(cut -d' ' -f2 "$work/t-$mode" | median)
    printf '%-58s %-4s %10s %7s %8s\n' "$(basename "$photo")" "$mode" "$(stat -c %s "$work/$mode.jpg")" "$secs" \
      "$((peak / 1024))"
    eval "${mode}_secs=$secs ${mode}_bytes=$(stat -c %s "$work/$mode.jpg")"
  done
  awk -v a="$hdr_secs" -v b="$sdr_secs" -v c="$hdr_bytes" -v d="$sdr_bytes" \
    'BEGIN {printf "  HDR / SDR: time %.3f x, bytes %.3f x\n", a / b, c / d}'
done
