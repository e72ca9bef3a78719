#!/bin/sh
# heif_plugin_dir.sh FROM TO: makes TO libheif's plugin directory FROM
# without FFmpeg's HEVC decoder, whose plugin goes to TO/on-demand/ instead:
# libheif loads every plugin of its directories when it starts, and FFmpeg's
# pulls in libavcodec and its libraries, which the lumetra library loads
# only for a picture that repays them. Links only; run again whenever
# plugins come or go (the package's trigger does).
set -eu
from=$1
to=$2
mkdir -p "$to/on-demand"
for old in "$to"/*.so "$to"/on-demand/*.so; do
  if [ -L "$old" ]; then rm -f "$old"; fi
done
for plugin in "$from"/*.so; do
  [ -e "$plugin" ] || continue
  case $(basename "$plugin") in
    *ffmpegdec*) ln -s "$plugin" "$to/on-demand/libheif-ffmpegdec.so" ;;
    *) ln -s "$plugin" "$to/" ;;
  esac
done
