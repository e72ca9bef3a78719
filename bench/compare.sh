#!/usr/bin/env bash
# Whole-process times of the lumetra tool against the tools people already
# use, on the same files, runs alternating: ratio = ours / peer (lower is
# better), with medians and spread (min-max) and peak memory.
# Usage: bench/compare.sh [RUNS] (default 5). Installs the peers if missing.
# The HEIC -> JPEG targets (12/24/200 MP phone photos against heif-dec, the
# batch against heif-convert) are printed by bench/jpeg_targets.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

need=()
for p in libheif-examples libvips-tools time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
  as_root apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target lumetra lumetra-sample >/dev/null
tool=$PWD/build/lumetra
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Inputs: a generated 12 MP picture (encoded by heif-enc, as a camera
# would, with a 320 px thumbnail), and the corpus's phone photos.
./build/lumetra-sample "$work/gen12.png" 4032 3024
heif-enc -q 85 -t 320 "$work/gen12.png" -o "$work/gen12mp.heic" >/dev/null
inputs=("$work/gen12mp.heic")
for f in ../shared/corpus/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic \
         ../shared/corpus/heif/grid12mp-iphoneXR-thumb-exifMM.heic ../shared/corpus/heif/grid16mp-samsungA71-thumb-exifII.heic; do
  [ -f "$f" ] && inputs+=("$f")
done

# one_run CMD...: prints "seconds peak_kib"
one_run() {
  /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1 || echo "command failed: $*" >&2
  cat "$work/t"
}

stats() {  # reads "seconds kib" lines; prints median, min, max seconds and median kib
  local lines secs kib
  lines=$(cat)
  secs=$(printf '%s\n' "$lines" | awk '{print $1}' | sort -n)
  kib=$(printf '%s\n' "$lines" | awk '{print $2}' | sort -n)
  printf '%s\n' "$secs" | awk -v k="$(printf '%s\n' "$kib" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')" \
    '{s[NR]=$1} END {printf "%.3f %.3f %.3f %d\n", s[int((NR+1)/2)], s[1], s[NR], k}'
}

compare() {  # compare LABEL INPUT "OUR CMD" "PEER CMD"
  local label=$1 ours=$3 peer=$4
  : >"$work/ours" ; : >"$work/peer"
  for _ in $(seq "$runs"); do
    one_run bash -c "$ours" >>"$work/ours"
    one_run bash -c "$peer" >>"$work/peer"
  done
  read -r om omin omax ok < <(stats <"$work/ours")
  read -r pm pmin pmax pk < <(stats <"$work/peer")
  printf '%-28s %-34s %7.3f [%5.3f-%5.3f] %7.3f [%5.3f-%5.3f]  time x%5.2f  mem x%5.2f\n' \
    "$label" "$(basename "$2" | cut -c1-34)" "$om" "$omin" "$omax" "$pm" "$pmin" "$pmax" \
    "$(awk "BEGIN{print $om/$pm}")" "$(awk "BEGIN{print $ok/$pk}")"
}

size_ratio() {  # size_ratio OURS PEER: ours / peer output bytes
  awk "BEGIN{printf \"%.3f\", $(stat -c %s "$1") / $(stat -c %s "$2")}"
}

printf '%-28s %-34s %23s %23s  %s\n' comparison input "ours s [min-max]" "peer s [min-max]" "ratios (ours/peer)"
for in in "${inputs[@]}"; do
  # convert: lumetra_convert (libjpeg-turbo/libpng, metadata kept); --exact: lumetra_to_jpg/png (stb)
  compare "convert jpg vs heif-convert" "$in" "$tool convert '$in' $work/a.jpg -q 90" "heif-convert -q 90 '$in' $work/b.jpg"
  echo "    JPEG size ratio $(size_ratio $work/a.jpg $work/b.jpg)"
  compare "--exact jpg vs heif-convert" "$in" "$tool convert --exact '$in' $work/e.jpg -q 90" "heif-convert -q 90 '$in' $work/b.jpg"
  compare "convert jpg vs vips Q=90" "$in" "$tool convert '$in' $work/a.jpg -q 90" "vips copy '$in' $work/c.jpg[Q=90]"
  compare "convert png vs heif-convert" "$in" "$tool convert '$in' $work/a.png" "heif-convert '$in' $work/b.png"
  echo "    PNG size ratio $(size_ratio $work/a.png $work/b.png)"
  compare "--exact png vs heif-convert" "$in" "$tool convert --exact '$in' $work/e.png" "heif-convert '$in' $work/b.png"
  compare "thumbnail vs vipsthumbnail" "$in" "$tool thumbnail '$in' $work/t.jpg" "vipsthumbnail -s 320 '$in' -o $work/v.jpg"
  compare "info vs heif-info" "$in" "$tool info '$in'" "heif-info '$in'"
done
compare "encode vs heif-enc -q85" "gen12.png" "$tool encode $work/gen12.png $work/a.heic -q 85" \
  "heif-enc -q 85 $work/gen12.png -o $work/b.heic"
