#!/usr/bin/env bash
# HEIC -> JPEG q90 in Node: the lumetra npm package (the tarball that
# scripts/build-wasm.sh packs, installed into a throw-away project) against
# the npm HEIC converters pinned in bench/node/package-lock.json
# (heic-convert; heic-decode and libheif-js, which decode only). Every run is
# a whole Node process per tool and photo, the tools alternating; medians of
# RUNS runs after one warm-up, peak RSS, and what each JPEG keeps. Then the
# sizes of the modules, raw and gzip -9.
# Usage: bench/node.sh [RUNS] (default 5). LUMETRA_TGZ names another tarball;
# the photos come from ../shared/corpus/heif (LUMETRA_CORPUS another folder).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-5}
corpus=${LUMETRA_CORPUS:-$root/../shared/corpus/heif}
photos=(grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
  tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic grid12mp-iphoneXR-thumb-exifMM.heic)
found=0
for p in "${photos[@]}"; do [ -f "$corpus/$p" ] && found=$((found + 1)); done
if [ "$found" -eq 0 ]; then
  echo "node bench: skipped, none of its photos is in $corpus"
  exit 0
fi
for tool in node npm heif-info gzip; do
  command -v "$tool" >/dev/null || { echo "node bench: $tool is missing (heif-info: apt-get install libheif-examples)" >&2; exit 2; }
done
packed=("$root"/build-wasm/lumetra-*.tgz)
tgz=${LUMETRA_TGZ:-${packed[0]}}
if [ ! -f "$tgz" ]; then
  echo "node bench: no lumetra tarball at $tgz; run scripts/build-wasm.sh first" >&2
  exit 2
fi

# The peers, as the lock file pins them.
(cd bench/node && { npm ls --depth=0 >/dev/null 2>&1 || npm ci --no-audit --no-fund --loglevel=error; })
# lumetra, as a user installs it.
project=$(mktemp -d)
trap 'rm -rf "$project"' EXIT
echo '{ "private": true }' >"$project/package.json"
(cd "$project" && npm install --no-audit --no-fund --loglevel=error "$tgz" >/dev/null)
export LUMETRA_MODULE=$project/node_modules/lumetra/index.js

echo "node bench: $(command -v node) $(node --version), lumetra from $tgz, $(nproc) cores"
echo "load before: $(uptime)"
node bench/node/run.mjs "$runs" "$corpus"
echo "load after: $(uptime)"
# The same conversions in one process, each tool loaded once.
echo
echo "load before: $(uptime)"
node bench/node/inprocess.mjs "$runs" "$corpus"
echo "load after: $(uptime)"

# Sizes: what each package loads in Node, raw and gzip -9, in bytes.
sizes() {
  local label=$1 raw=0 gz=0 f
  shift
  for f in "$@"; do
    raw=$((raw + $(stat -c %s "$f")))
    gz=$((gz + $(gzip -9 -c "$f" | wc -c)))
  done
  echo "| $label | $raw | $gz |"
}
lum=$project/node_modules/lumetra
peers=bench/node/node_modules
echo
echo "| files | bytes | gzip -9 bytes |"
echo "|---|--:|--:|"
sizes "lumetra: lumetra.wasm" "$lum/lumetra.wasm"
sizes "lumetra: lumetra.js + index.js" "$lum/lumetra.js" "$lum/index.js"
sizes "libheif-js: libheif/libheif.js (its default entry)" "$peers/libheif-js/libheif/libheif.js"
sizes "libheif-js: libheif-wasm/libheif-bundle.js (.wasm inside; heic-decode's)" "$peers/libheif-js/libheif-wasm/libheif-bundle.js"
sizes "libheif-js: libheif-wasm/libheif.wasm" "$peers/libheif-js/libheif-wasm/libheif.wasm"
sizes "libheif-js: libheif-wasm/libheif.js" "$peers/libheif-js/libheif-wasm/libheif.js"
sizes "heic-decode: index.js + lib.js" "$peers"/heic-decode/{index,lib}.js
sizes "heic-convert: index.js + lib.js + formats-node.js" "$peers"/heic-convert/{index,lib,formats-node}.js
sizes "jpeg-js (heic-convert's encoder): index.js + lib/*.js" "$peers"/jpeg-js/index.js "$peers"/jpeg-js/lib/*.js
sizes "pngjs (heic-convert's PNG writer): lib/*.js" "$peers"/pngjs/lib/*.js
