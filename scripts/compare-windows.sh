#!/usr/bin/env bash
# lumetra.exe under wine against the Linux lumetra on corpus files: the
# same info and EXIF reports, byte for byte, and the same converted files
# (single conversions, thumbnails and a batch), HEIF and AVIF; and the same
# AVIF files encoded from rasters, and the same pixels decoded back.
# Usage: compare-windows.sh LINUX_TOOL WINDOWS_TOOL [CORPUS_DIR]
set -euo pipefail
linux=$1 windows=$2
ran() { "$@" || { echo "compare-windows: failed: $*" >&2; exit 1; }; }
corpus=${3:-$(cd "$(dirname "$0")/.." && pwd)/../shared/corpus}
if [ ! -d "$corpus/heif" ]; then
  echo "compare-windows: no corpus at $corpus, nothing compared"
  exit 0
fi
# The same locale as build-windows.sh: names beyond ASCII, whatever the caller's.
export WINEDEBUG=-all LC_ALL=C.UTF-8
unset LANGUAGE
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=()
for f in heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic heif/grid16mp-samsungA71-thumb-exifII.heic \
         heif/camera-canonR5-10bit-422-grid-thumb-exifII.hif heif/alpha-gimp-430x430-icc.heic \
         heif/clap-rainbow-451x461-icc-xmp.heic heif/mono-l12-128x128.heif \
         heif/grid7mp-iphone14pro-irot90-imir-thumb-exifMM.heic heif-other-codecs/uncompressed-zlib-128x72.heif \
         avif/exiv2-exif-xmp-120x120.avif avif/linku-fox-10bit-mono.avif avif/linku-fox-12bit-444.avif \
         avif/linku-kimono-imir-irot-clap.avif avif/ms-tomsk-1280x720-2thumbs-exifII.avif \
         avif/pillow-alpha-64x64.avif avif/pillow-exifMM-512x512.avif avif/pillow-rot1mir1.avif; do
  [ -f "$corpus/$f" ] && files+=("$corpus/$f")
done
[ ${#files[@]} -gt 0 ] || { echo "compare-windows: none of the chosen corpus files is there" >&2; exit 1; }
wine_out() { wine "$windows" "$@" 2>&1 | tr -d '\r'; }
same=0
for f in "${files[@]}"; do
  for report in info exif; do
    a=$("$linux" "$report" "$f" 2>&1); b=$(wine_out "$report" "$f")
    [ "$a" = "$b" ] || { echo "compare-windows: $report differs for $f:"$'\n'"  linux:   $a"$'\n'"  windows: $b" >&2; exit 1; }
    same=$((same + 1))
  done
  name=$(basename "$f")
  # Metadata kept (the default), 16-bit PNG from deep files, the original calls.
  for variant in jpg png deep.png exact.jpg; do
    case $variant in deep.png) opts=(--deep) ;; exact.jpg) opts=(--exact) ;; *) opts=() ;; esac
    ran "$linux" convert "${opts[@]}" "$f" "$work/linux-$name.$variant"
    ran wine "$windows" convert "${opts[@]}" "$f" "$work/windows-$name.$variant"
    cmp -s "$work/linux-$name.$variant" "$work/windows-$name.$variant" ||
      { echo "compare-windows: convert ${opts[*]} to $variant differs for $f" >&2; exit 1; }
    same=$((same + 1))
  done
  ran "$linux" thumbnail "$f" "$work/linux-$name.thumb.jpg"
  ran wine "$windows" thumbnail "$f" "$work/windows-$name.thumb.jpg"
  cmp -s "$work/linux-$name.thumb.jpg" "$work/windows-$name.thumb.jpg" ||
    { echo "compare-windows: thumbnail differs for $f" >&2; exit 1; }
  same=$((same + 1))
done
mkdir -p "$work/in"
for f in "${files[@]}"; do cp "$f" "$work/in/"; done
ran "$linux" batch "$work/in" "$work/linux-batch" --png >"$work/linux.summary"
ran wine "$windows" batch "$work/in" "$work/windows-batch" --png >"$work/windows.raw"
tr -d '\r' <"$work/windows.raw" >"$work/windows.summary"
cmp -s "$work/linux.summary" "$work/windows.summary" || { echo "compare-windows: batch summaries differ" >&2; exit 1; }
for out in "$work/linux-batch"/*; do
  cmp -s "$out" "$work/windows-batch/$(basename "$out")" || { echo "compare-windows: batch output $(basename "$out") differs" >&2; exit 1; }
  same=$((same + 1))
done
# AVIF encoding (libaom on both sides), 8 and 10 bits: the same file, and
# the Windows one decoded back to the same pixels by both tools.
encoded=0
for src in raster/png/rgba8-200x150.png raster/png/rgb16-128x128.png raster/jpeg/exif-canon-40d-100x68-II-thumb-icc.jpg; do
  [ -f "$corpus/$src" ] || continue
  name=$(basename "$src")
  for variant in avif deep.avif; do
    case $variant in deep.avif) opts=(--deep) ;; *) opts=() ;; esac
    ran "$linux" encode "${opts[@]}" "$corpus/$src" "$work/linux-$name.$variant"
    ran wine "$windows" encode "${opts[@]}" "$corpus/$src" "$work/windows-$name.$variant"
    cmp -s "$work/linux-$name.$variant" "$work/windows-$name.$variant" ||
      { echo "compare-windows: encode ${opts[*]} to AVIF differs for $src" >&2; exit 1; }
    ran "$linux" convert --deep "$work/windows-$name.$variant" "$work/linux-back-$name.$variant.png"
    ran wine "$windows" convert --deep "$work/windows-$name.$variant" "$work/windows-back-$name.$variant.png"
    cmp -s "$work/linux-back-$name.$variant.png" "$work/windows-back-$name.$variant.png" ||
      { echo "compare-windows: the AVIF encoded from $src decodes differently" >&2; exit 1; }
    same=$((same + 2)) encoded=$((encoded + 1))
  done
done
# A gain-map photo into HEIC and AVIF: picture, gain map and metadata.
gain_photo=$corpus/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
if [ -f "$gain_photo" ]; then
  for ext in heic avif; do
    ran "$linux" convert --effort fast "$gain_photo" "$work/linux-gain.$ext"
    ran wine "$windows" convert --effort fast "$gain_photo" "$work/windows-gain.$ext"
    cmp -s "$work/linux-gain.$ext" "$work/windows-gain.$ext" ||
      { echo "compare-windows: the gain-map photo converted to $ext differs" >&2; exit 1; }
    same=$((same + 1))
  done
fi
echo "compare-windows: ${#files[@]} corpus files and $encoded AVIF encodes, $same reports and outputs identical ($(cat "$work/linux.summary"))"
