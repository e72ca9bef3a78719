#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds the plain C
# consumer against it twice (pkg-config, find_package) and runs both.
# Usage: run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libmorvanta-lumetra.so.1' | head -n 1)")
test -L "$libdir/libmorvanta-lumetra.so" && test -L "$libdir/libmorvanta-lumetra.so.1"
objdump -p "$libdir/libmorvanta-lumetra.so.1" | grep -q 'SONAME *libmorvanta-lumetra.so.1'

# A HEIF file made with the installed tool from the project's own sample.
"$build/lumetra-sample" "$work/sample.png" 64 48
"$prefix/bin/lumetra" encode "$work/sample.png" "$work/sample.heic"

export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -std=c99 -Wall -Werror -pedantic "$src/tests/consumer/consumer.c" -o "$work/consumer-pc" \
   $(pkg-config --cflags --libs morvanta-lumetra)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" "$work/sample.heic" "$work/a.png" | tee "$work/pc.out"

cmake -S "$src/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cmake-build/consumer" "$work/sample.heic" "$work/b.png" | tee "$work/cmake.out"

expected='{"width":64,"height":48,"bit_depth":8,"has_alpha":false,"has_thumbnail":false,"color_space":"YCbCr","exif":false,"image_count":1}'
test "$(cat "$work/pc.out")" = "$expected"
test "$(cat "$work/cmake.out")" = "$expected"
cmp "$work/a.png" "$work/b.png"
echo "consumer: pkg-config and find_package builds agree"
