#!/bin/sh
# memcheck.sh PLUGIN_DIR WORK_DIR COMMAND...: runs COMMAND (valgrind and the
# test program) with libheif loading its plugins from WORK_DIR, which links
# every plugin of PLUGIN_DIR except FFmpeg's decoder. That plugin pulls in
# libavcodec -> libjxl -> libhwy, whose start-up code runs rdtscp; valgrind
# emulates the CPU from its advertised flags and stops with SIGILL on a CPU
# that does not advertise rdtscp. The library then decodes HEVC with
# libde265; the ASan/UBSan and TSan passes cover the FFmpeg decoder.
set -eu
plugins=$1
dir=$2
shift 2
rm -rf "$dir"
mkdir -p "$dir"
for plugin in "$plugins"/*; do
  [ -e "$plugin" ] || continue
  case $(basename "$plugin") in
    *ffmpeg*) echo "memcheck: $(basename "$plugin") left out (valgrind cannot run its dependencies' start-up on every CPU)" ;;
    *) ln -s "$plugin" "$dir/" ;;
  esac
done
LIBHEIF_PLUGIN_PATH=$dir
export LIBHEIF_PLUGIN_PATH
exec "$@"
