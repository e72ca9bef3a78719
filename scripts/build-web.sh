#!/usr/bin/env bash
# The photo-converting page of web/ assembled into build-wasm/web/, static
# files ready to serve: the page's own files, the staged npm package's
# module files under lumetra/, and fflate's ESM build (pinned in
# web/package-lock.json) as fflate.js. Then what the page's browser test
# (js/test/page.test.js) drives: Debian's chromium, installed when missing,
# and playwright-core (pinned in web/test/package-lock.json; it downloads no
# browser). Run by scripts/build-wasm.sh once the package is staged; the
# last line printed is the page's directory. --tools-only installs the
# test's tools alone (the test command does so beside its other passes).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
build=build-wasm
stage=$build/npm
page=$build/web

. scripts/apt_sources.sh
fail() { echo "build-web: $*" >&2; exit 1; }

tools_only=0
[ "${1:-}" = --tools-only ] && tools_only=1
[ "$tools_only" = 1 ] || [ -f "$stage/lumetra.wasm" ] || fail "no staged package in $stage: run scripts/build-wasm.sh"

# npm ci of a package.json and its lock (from directory $1) into $2, unless
# $2 already holds that lock's packages.
npm_install() {
  local from=$1 into=$2
  if [ -d "$into/node_modules" ] && cmp -s "$from/package-lock.json" "$into/package-lock.json"; then return; fi
  rm -rf "$into"
  mkdir -p "$into"
  cp "$from/package.json" "$from/package-lock.json" "$into/"
  (cd "$into" && npm ci --no-audit --no-fund --ignore-scripts >/dev/null) || fail "npm ci in $into failed"
}

# ---- the page ----
if [ "$tools_only" = 0 ]; then
  npm_install web "$build/web-packages"
  rm -rf "$page"
  mkdir -p "$page/lumetra"
  cp web/index.html web/style.css web/app.js "$page/"
  cp "$build/web-packages/node_modules/fflate/esm/browser.js" "$page/fflate.js"
  cp "$stage"/*.js "$stage"/*.wasm "$page/lumetra/"
fi

# ---- the browser test's tools ----
if ! installed chromium; then
  echo "build-web: installing chromium"
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends chromium >/dev/null ||
    fail "could not install chromium from Debian's packages"
fi
npm_install web/test "$build/web-test-packages"
[ "$tools_only" = 1 ] || echo "$(pwd)/$page"
