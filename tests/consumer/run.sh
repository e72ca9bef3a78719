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
# grep reads it all: -q would quit at the match and objdump die of SIGPIPE (pipefail)
objdump -p "$libdir/libmorvanta-lumetra.so.1" | grep 'SONAME *libmorvanta-lumetra.so.1' >/dev/null

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

# The desktop and shell pieces are installed and do their jobs.
share=$prefix/share
grep -q '^\.TH LUMETRA "1"' "$share/man/man1/lumetra.1"
grep -q -- '--skip-existing' "$share/man/man1/lumetra.1"  # subcommand help is in it
grep -q '^MimeType=image/heic;image/heif;image/avif;$' "$share/thumbnailers/lumetra.thumbnailer"
exec_line=$(sed -n 's/^Exec=//p' "$share/thumbnailers/lumetra.thumbnailer")
# Run the entry as a file manager would: %s size, %i input, %o output.
cmd=${exec_line//%s/32}; cmd=${cmd//%i/$work/sample.heic}; cmd=${cmd//%o/$work/thumb}
PATH=$prefix/bin:$PATH LD_LIBRARY_PATH=$libdir $cmd
python3 - "$work/thumb" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read()
assert b[:8] == b"\x89PNG\r\n\x1a\n", "thumbnailer output is not PNG"
w, h = struct.unpack(">II", b[16:24])
assert (w, h) == (32, 24), (w, h)  # the 64 x 48 sample in a 32-pixel box
PY
if [ -f /usr/share/bash-completion/bash_completion ]; then
  words=$(bash -c 'source /usr/share/bash-completion/bash_completion; source "$1"
    COMP_WORDS=(lumetra batch --sk); COMP_CWORD=2; COMP_LINE="lumetra batch --sk"; COMP_POINT=${#COMP_LINE}
    _lumetra; echo "${COMPREPLY[*]}"' _ "$share/bash-completion/completions/lumetra")
  test "$words" = "--skip-existing"
fi
echo "consumer: man page, thumbnailer entry and completion work"
