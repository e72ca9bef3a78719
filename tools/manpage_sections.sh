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
  # printf, not echo: dash's echo reads the \f of \fB as a form feed.
  printf '%s\n' '[MEMORY CAP]' \
    'Each worker of \fBlumetra batch\fR runs under \fB--max-memory\fR (RLIMIT_DATA; on Windows a job object),' \
    'by default the available memory shared by the workers and at least 1 GiB. A file that needs more,' \
    'such as a small file claiming a huge picture, fails alone with \(lqout of memory (limit 1.5 GiB)\(rq;' \
    'crashes and other failures keep their own words.'
  printf '%s\n' '[EVERY PICTURE]' \
    '\fBlumetra convert --all\fR writes every top-level image as OUT'"'"'s stem + \fB-1\fR, \fB-2\fR, ... + its extension,' \
    'in file order; \fB--with-aux\fR adds each written image'"'"'s auxiliary images but alpha as greyscale PNG' \
    'named its stem + \fB-\fR + kind + \fB.png\fR (depth, disparity, hdrgainmap, portraitmatte, skinmatte,' \
    'skymatte, hairmatte, teethmatte, glassesmatte, linearthumbnail, styledeltamap, or the type URN made' \
    'file-name safe), turned like their image; a depth map'"'"'s representation goes in tEXt chunks.' \
    '\fBlumetra info --detail\fR prints one JSON document per file (schema 1, described in the README).' \
    '\fBlumetra thumbnail\fR always fits the SIZE x SIZE box and reduces by area averaging (a box filter on' \
    'the gamma-encoded values), starting from an embedded thumbnail whose long side reaches SIZE.'
  printf '%s\n' '[FILES]' \
    'The thumbnailer entry \fIlumetra.thumbnailer\fR (share/thumbnailers) lets file managers show' \
    'HEIF thumbnails through \fBlumetra thumbnail --size\fR; bash completion is installed as well.'
} >"$out"
