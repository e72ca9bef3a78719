#!/usr/bin/env bash
# HEIC -> JPEG q90 against heif-dec (libheif's own tool, its defaults):
# whole-process time and peak memory on the corpus's 12, 24 and 200 MP
# phone photos, runs alternating; lumetra with --sdr (heif-dec writes no
# gain map), also with LUMETRA_HEVC_DECODER=libde265 (the decoder's share)
# and by default (keeping the gain map as an Ultra HDR JPEG). Then `lumetra batch -j 2` on 48 copies of
# the 12 MP photo against a heif-convert loop and xargs -P 2 heif-convert.
# Prints each target with met / missed.
# Usage: bench/jpeg_targets.sh [RUNS] (default 5). Needs ../shared/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
corpus=../shared/corpus/heif
p12=$corpus/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
p24=$corpus/tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic
p200=$corpus/grid200mp-samsungS24ultra-thumb-irot270-gainmap-exifII.heic
for f in "$p12" "$p24" "$p200"; do [ -f "$f" ] || { echo "jpeg targets: $f not found" >&2; exit 2; }; done
command -v heif-dec >/dev/null || { echo "jpeg targets: heif-dec (libheif-examples) not installed" >&2; exit 2; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target lumetra >/dev/null
tool=$PWD/build/lumetra
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

one_run() {  # prints "seconds peak_kib"
  /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1 || echo "command failed: $*" >&2
  cat "$work/t"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN{print (r <= t ? "met" : "missed")}'; }

printf '%-10s %-22s %8s %8s %8s %8s %9s %9s %9s %9s\n' photo "" "ours s" "de265 s" "HDR s" "peer s" "ours MiB" \
  "de265 MiB" "HDR MiB" "peer MiB"
for label in 12MP 24MP 200MP; do
  case $label in 12MP) in=$p12 ;; 24MP) in=$p24 ;; 200MP) in=$p200 ;; esac
  : >"$work/o"; : >"$work/d"; : >"$work/h"; : >"$work/p"
  for _ in $(seq "$runs"); do
    one_run "$tool" convert --sdr "$in" "$work/a.jpg" -q 90 >>"$work/o"
    one_run env LUMETRA_HEVC_DECODER=libde265 "$tool" convert --sdr "$in" "$work/d.jpg" -q 90 >>"$work/d"
    one_run "$tool" convert "$in" "$work/h.jpg" -q 90 >>"$work/h"
    one_run heif-dec -q 90 "$in" "$work/b.jpg" >>"$work/p"
  done
  ht=$(awk '{print $1}' "$work/h" | median); hm=$(awk '{print $2}' "$work/h" | median)
  ot=$(awk '{print $1}' "$work/o" | median); dt=$(awk '{print $1}' "$work/d" | median); pt=$(awk '{print $1}' "$work/p" | median)
  om=$(awk '{print $2}' "$work/o" | median); dm=$(awk '{print $2}' "$work/d" | median); pm=$(awk '{print $2}' "$work/p" | median)
  printf '%-10s %-22s %8.2f %8.2f %8.2f %8.2f %9.1f %9.1f %9.1f %9.1f\n' "$label" "convert -q 90 vs heif-dec" \
    "$ot" "$dt" "$ht" "$pt" "$(awk "BEGIN{print $om/1024}")" "$(awk "BEGIN{print $dm/1024}")" \
    "$(awk "BEGIN{print $hm/1024}")" "$(awk "BEGIN{print $pm/1024}")"
  tr=$(awk "BEGIN{printf \"%.2f\", $ot/$pt}"); mr=$(awk "BEGIN{printf \"%.2f\", $om/$pm}")
  dtr=$(awk "BEGIN{printf \"%.2f\", $dt/$pt}")
  if [ "$label" = 200MP ]; then
    printf '    target time <= 0.95 x: %s x (%s; libde265 %s x)   peak <= 128 MiB: %.0f MiB (%s)\n' "$tr" \
      "$(verdict "$tr" 0.95)" "$dtr" "$(awk "BEGIN{print $om/1024}")" "$(verdict "$(awk "BEGIN{print $om/1024}")" 128)"
  else
    printf '    target time <= 0.85 x: %s x (%s; libde265 %s x)   memory <= 0.6 x: %s x (%s)\n' "$tr" \
      "$(verdict "$tr" 0.85)" "$dtr" "$mr" "$(verdict "$mr" 0.6)"
  fi
done

# The batch: 48 copies of the 12 MP photo.
mkdir "$work/in"
for i in $(seq -w 1 48); do cp "$p12" "$work/in/photo$i.heic"; done
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk "BEGIN{print $e - $s}"; }
fresh_out() { rm -rf "$work/out"; mkdir "$work/out"; }
ours() { fresh_out; "$tool" batch "$work/in" "$work/out" -j 2 -q 90 --sdr; }
loop() { fresh_out; for f in "$work"/in/*.heic; do heif-convert -q 90 "$f" "$work/out/$(basename "${f%.heic}").jpg"; done; }
xargs2() { fresh_out; ls "$work"/in/*.heic | xargs -P 2 -I{} sh -c 'heif-convert -q 90 "$1" "$2/$(basename "${1%.heic}").jpg"' _ {} "$work/out"; }
: >"$work/t_ours"; : >"$work/t_loop"; : >"$work/t_xargs"
for _ in $(seq "$(( (runs + 1) / 2 ))"); do
  seconds ours >>"$work/t_ours"
  seconds loop >>"$work/t_loop"
  seconds xargs2 >>"$work/t_xargs"
done
o=$(median <"$work/t_ours"); l=$(median <"$work/t_loop"); x=$(median <"$work/t_xargs")
rl=$(awk "BEGIN{printf \"%.2f\", $o/$l}"); rx=$(awk "BEGIN{printf \"%.2f\", $o/$x}")
printf 'batch -j 2 on 48 x 12MP %6.2f s; heif-convert loop %6.2f s; xargs -P 2 %6.2f s\n' "$o" "$l" "$x"
printf '    target <= 0.75 x loop: %s x (%s)   <= 0.9 x xargs -P 2: %s x (%s)\n' "$rl" "$(verdict "$rl" 0.75)" "$rx" \
  "$(verdict "$rx" 0.9)"
