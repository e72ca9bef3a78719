#!/usr/bin/env bash
# lumetra encode against heif-enc and vips on the same JPEG sources: bytes,
# PSNR against the source's decoded pixels (stb_image's decode), seconds
# and peak memory, runs alternating (medians). HEIC, then AVIF.
# Usage: bench/encode.sh [RUNS] (default 3). Needs ../shared/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
photo=../shared/corpus/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
[ -f "$photo" ] || { echo "encode bench: $photo not found" >&2; exit 2; }
for p in libheif-examples libvips-tools time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { echo "encode bench: apt-get install $p" >&2; exit 2; }
done
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLUMETRA_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target lumetra encode-sweep >/dev/null
tool=$PWD/build-bench/lumetra sweep=$PWD/build-bench/bench/encode-sweep
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sources: the phone photo saved as a 12 MP JPEG at 90 and at 75, and the
# corpus's raster JPEGs of at least 1 MP that decode whole.
"$tool" convert -q 90 "$photo" "$work/phone-q90.jpg"
"$tool" convert -q 75 "$photo" "$work/phone-q75.jpg"
sources=("$work/phone-q90.jpg" "$work/phone-q75.jpg")
for f in ../shared/corpus/raster/jpeg/*.jpg; do
  px=$(python3 -c "import struct,sys
d=open(sys.argv[1],'rb').read(); i=2
while i+4<len(d):
  m=d[i+1]; n=d[i+2]<<8|d[i+3]
  if m in (0xC0,0xC1,0xC2): print(struct.unpack('>H',d[i+5:i+7])[0]*struct.unpack('>H',d[i+7:i+9])[0]); break
  i+=2+n
else: print(0)" "$f")
  [ "$px" -ge 1000000 ] && "$tool" encode "$f" "$work/probe.heic" 2>/dev/null && sources+=("$f")
done

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
printf '%-14s %-22s %10s %6s %7s %8s\n' source encoder bytes psnr seconds peak_MB
for src in "${sources[@]}"; do
  name=$(basename "$src" .jpg)
  for ext in heic avif; do
    declare -A cmd=(
      [lumetra]="$tool encode $src $work/out-lumetra.$ext"
      [heif-enc]="heif-enc $([ $ext = avif ] && echo -A) $src -o $work/out-heif-enc.$ext"
      [vips]="vips heifsave $src $work/out-vips.$ext $([ $ext = avif ] && echo --compression av1)"
    )
    for who in lumetra heif-enc vips; do : >"$work/t-$who"; done
    # vips 8.14 with libheif 1.19 writes the file, then exits 1 ("heif_writer
    # callback returned a null error text"): the file decides.
    for _ in $(seq "$runs"); do
      for who in lumetra heif-enc vips; do
        rm -f "$work/out-$who.$ext"
        /usr/bin/time -f '%e %M' -o "$work/t1" ${cmd[$who]} >/dev/null 2>&1 || true
        [ -s "$work/out-$who.$ext" ] || echo "failed: ${cmd[$who]}" >&2
        tail -1 "$work/t1" >>"$work/t-$who"
      done
    done
    for who in lumetra heif-enc vips; do
      out=$work/out-$who.$ext
      printf '%-14s %-22s %10s %6s %7s %8s\n' "$name" "$who ($ext)" "$(stat -c %s "$out")" \
        "$("$sweep" --psnr "$src" "$out")" "$(awk '{print $1}' "$work/t-$who" | median)" \
        "$(awk '{printf "%.0f\n", $2/1024}' "$work/t-$who" | median)"
    done
    unset cmd
  done
  printf '%-14s %-22s %10s\n' "$name" "source JPEG" "$(stat -c %s "$src")"
done
