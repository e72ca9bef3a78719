#!/usr/bin/env bash
# Set-up, build, and the main job on the project's own sample: a synthetic
# picture is encoded as HEIF, then converted back to JPEG and PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target lumetra lumetra-sample

out=out
mkdir -p "$out"
./build/lumetra-sample "$out/sample.png"
./build/lumetra encode "$out/sample.png" "$out/sample.heic"
./build/lumetra convert "$out/sample.heic" "$out/sample.jpg"
./build/lumetra convert "$out/sample.heic" "$out/sample-decoded.png"
./build/lumetra thumbnail "$out/sample.heic" "$out/sample-thumb.jpg"
./build/lumetra info "$out/sample.heic"
ls -l "$out"
