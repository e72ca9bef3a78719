#!/usr/bin/env bash
# An Ultra HDR JPEG to AVIF with its gain map: lumetra convert against
# avifenc at its defaults (libavif 1.4.2 built from its sources reads the
# JPEG's gain map), runs alternating, whole processes, medians. Then each
# AVIF's HDR rendition at the JPEG's full headroom against the JPEG's own
# (all three made by avifgainmaputil tonemap; the JPEG's through a
# near-lossless AVIF of it), in stops of luminance. Each base is read as
# the JPEG's sRGB (libavif reads an unspecified transfer as BT.709's, and
# its own AVIFs of a JPEG leave the transfer unspecified).
# Usage: AVIFENC=... AVIFGAINMAPUTIL=... bench/gain_map_avif.sh [RUNS] (default 5).
# The Ultra HDR JPEG is lumetra's own of the corpus's iPhone 13 Pro Max photo.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
photo=../shared/corpus/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
avifenc=${AVIFENC:-$(command -v avifenc || true)}
util=${AVIFGAINMAPUTIL:-$(command -v avifgainmaputil || true)}
[ -f "$photo" ] || { echo "gain map bench: $photo not found" >&2; exit 2; }
[ -n "$avifenc" ] && [ -n "$util" ] || { echo "gain map bench: needs libavif >= 1.2's avifenc and avifgainmaputil" >&2; exit 2; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target lumetra >/dev/null
tool=$PWD/build/lumetra
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 bench/stops_between.c -o "$work/stops_between" -lm
"$tool" convert -q 95 "$photo" "$work/uhdr.jpg"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
secs() {
  /usr/bin/time -f '%e' -o "$work/t" "$@" >/dev/null 2>&1 || echo "command failed: $*" >&2
  cat "$work/t"
}
: >"$work/ratios"
for _ in $(seq "$runs"); do
  ours=$(secs "$tool" convert "$work/uhdr.jpg" "$work/ours.avif")
  theirs=$(secs "$avifenc" "$work/uhdr.jpg" "$work/theirs.avif")
  echo "$ours $theirs $(awk "BEGIN{print $ours / $theirs}")" >>"$work/ratios"
done
printf 'Ultra HDR JPEG -> AVIF, %s runs, load %s\n' "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'lumetra %s s, avifenc %s s, ratio %s; bytes %s and %s\n' "$(cut -d' ' -f1 "$work/ratios" | median)" \
  "$(cut -d' ' -f2 "$work/ratios" | median)" "$(cut -d' ' -f3 "$work/ratios" | median)" \
  "$(stat -c %s "$work/ours.avif")" "$(stat -c %s "$work/theirs.avif")"
"$util" convert "$work/uhdr.jpg" "$work/reference.avif" -q 100 --qgain-map 100 >/dev/null
headroom=$("$util" printmetadata "$work/reference.avif" | awk '/Alternate headroom/ {print $4}')
for f in reference ours theirs; do
  "$util" tonemap "$work/$f.avif" "$work/$f.png" --headroom "$headroom" --cicp-input 1/13/6 --cicp-output 1/16/6 -d 12 --ignore-profile >/dev/null
done
for f in ours theirs; do
  printf '%s: HDR rendition at headroom %s against the JPEG'\''s: %s\n' "$f" "$headroom" \
    "$("$work/stops_between" 709 "$work/$f.png" "$work/reference.png")"
done
