#!/usr/bin/env bash
# HEIC -> JPEG q90 in Chromium: lumetra's npm package (as scripts/build-wasm.sh
# stages it; on a page its calls run in its worker) against heic-to and
# heic2any, pinned in bench/browser/package-lock.json. Debian's chromium,
# headless, driven by playwright-core; every run a new browser context and
# page, the tools alternating; medians of RUNS runs after one warm-up, and
# what each JPEG keeps.
# Usage: bench/browser.sh [RUNS] (default 5). The photos come from
# ../shared/corpus/heif (LUMETRA_CORPUS another folder); LUMETRA_CHROMIUM
# names another browser.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-5}
corpus=${LUMETRA_CORPUS:-$root/../shared/corpus/heif}
[ -d "$corpus" ] || { echo "browser bench: skipped, no photos in $corpus"; exit 0; }
for tool in node npm heif-info "${LUMETRA_CHROMIUM:-/usr/bin/chromium}"; do
  command -v "$tool" >/dev/null ||
    { echo "browser bench: $tool is missing (heif-info: libheif-examples; chromium: apt-get install chromium)" >&2; exit 2; }
done
package=$root/build-wasm/npm
[ -f "$package/index.js" ] || { echo "browser bench: no package in $package; run scripts/build-wasm.sh first" >&2; exit 2; }
(cd bench/browser && { npm ls --depth=0 >/dev/null 2>&1 || npm ci --no-audit --no-fund --loglevel=error; })
echo "browser bench: $(command -v node) $(node --version), lumetra from $package, $(nproc) cores"
echo "load before: $(uptime)"
node bench/browser/run.mjs "$runs" "$corpus" "$package"
echo "load after: $(uptime)"
