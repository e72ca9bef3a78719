#!/bin/sh
# Writes a help2man include file with each subcommand's own help.
# Usage: manpage_sections.sh LUMETRA OUT
tool=$1 out=$2
{
  echo "[SUBCOMMANDS]"
  for sub in convert encode thumbnail info exif is-heic batch; do
    printf '.SS %s\n.nf\n' "$sub"
    "$tool" help "$sub" | sed 's/\\/\\\\/g; s/^\./\\\&./'
    printf '.fi\n'
  done
  echo "[FILES]"
  echo "The thumbnailer entry \\fIlumetra.thumbnailer\\fR (share/thumbnailers) lets file managers show"
  echo "HEIF thumbnails through \\fBlumetra thumbnail --size\\fR; bash completion is installed as well."
} >"$out"
