#!/usr/bin/env bash
# Start-up and whole-process times: `lumetra info` against heif-info, the
# tool's thumbnail and the library's lumetra_thumbnail (bench/thumbnail_call.c,
# a host with and without the package's plugin directory in
# LIBHEIF_PLUGIN_PATH) against vipsthumbnail, `lumetra batch -j 2` on 48
# small photos, and HEIC -> JPEG q90 of the corpus's 12, 24 and 200 MP photos
# against heif-dec. Runs alternate; each figure is the median of the
# per-run ratios (ours / peer), with the medians' seconds and the load
# average (/proc/loadavg, 1 min) at the start and end of its runs.
# With a second build directory (BEFORE, e.g. a build of an earlier commit)
# its tool and library run in the same alternation.
# Usage: bench/startup.sh [RUNS] [BEFORE] (default 7). Needs ../shared/corpus
# and the package's plugin directory (scripts/setup.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
before=${2:-}
corpus=../shared/corpus/heif
p12=$corpus/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
p24=$corpus/tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic
p200=$corpus/grid200mp-samsungS24ultra-thumb-irot270-gainmap-exifII.heic
for f in "$p12" "$p24" "$p200"; do [ -f "$f" ] || { echo "startup bench: $f not found" >&2; exit 2; }; done
need=()
for p in libheif-examples libvips-tools time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
  as_root apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
plugins=$(pkg-config --variable=libdir libheif)/morvanta-lumetra/heif-plugins
[ -d "$plugins" ] || { echo "startup bench: $plugins missing (run scripts/setup.sh)" >&2; exit 2; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j 2 --target lumetra lumetra-sample morvanta-lumetra >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
builds=(build)
[ -n "$before" ] && builds+=("$before")
for b in "${builds[@]}"; do
  if [ "$b" = build ]; then n=after; else n=before; fi
  cc -O2 bench/thumbnail_call.c -Iinclude -L"$b" -l:libmorvanta-lumetra.so.1 -Wl,-rpath,"$(cd "$b" && pwd)" \
    -o "$work/call-$n"
  ln -s "$(cd "$b" && pwd)/lumetra" "$work/tool-$n"
done
# 48 small photos: 1 MP with a 320-pixel thumbnail, as heif-enc writes them.
./build/lumetra-sample "$work/small.png" 1152 864
heif-enc -q 85 -t 320 "$work/small.png" -o "$work/small.heic" >/dev/null
mkdir "$work/in"
for i in $(seq -w 1 48); do cp "$work/small.heic" "$work/in/photo$i.heic"; done

load() { cut -d' ' -f1 /proc/loadavg; }
secs() {  # secs CMD...: wall seconds of one run
  /usr/bin/time -f '%e' -o "$work/t" "$@" >/dev/null 2>&1 || echo "command failed: $*" >&2
  cat "$work/t"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# row LABEL PEER_CMD -- NAME=CMD...: the peer and each named command in turn,
# `runs` times; prints each command's median seconds and median ratio.
row() {
  local label=$1 peer=$2 l0 l1 i name
  shift 3
  : >"$work/peer"
  for c in "$@"; do : >"$work/${c%%=*}"; : >"$work/${c%%=*}.r"; done
  l0=$(load)
  for i in $(seq "$runs"); do
    p=$(secs bash -c "$peer")
    echo "$p" >>"$work/peer"
    for c in "$@"; do
      o=$(secs bash -c "${c#*=}")
      echo "$o" >>"$work/${c%%=*}"
      awk "BEGIN{print $o / $p}" >>"$work/${c%%=*}.r"
    done
  done
  l1=$(load)
  printf '%-34s peer %6.3f s' "$label" "$(median <"$work/peer")"
  for c in "$@"; do
    name=${c%%=*}
    printf '  %s %6.3f s x%5.3f' "$name" "$(median <"$work/$name")" "$(median <"$work/$name.r")"
  done
  printf '  (load %s-%s)\n' "$l0" "$l1"
}

# cmds TEMPLATE: NAME=CMD for each build, with TOOL and CALL filled in.
cmds() {
  local n out=()
  for n in after ${before:+before}; do
    out+=("$n=$(printf '%s' "$1" | sed "s#TOOL#$work/tool-$n#g; s#CALL#$work/call-$n#g; s#OUT#$work/$n#g")")
  done
  printf '%s\n' "${out[@]}"
}
mapfile -t c < <(cmds "TOOL info $p12")
row "info vs heif-info (12 MP)" "heif-info $p12" -- "${c[@]}"
mapfile -t c < <(cmds "TOOL info $work/small.heic")
row "info vs heif-info (1 MP)" "heif-info $work/small.heic" -- "${c[@]}"
mapfile -t c < <(cmds "TOOL thumbnail $p12 OUT-t.jpg")
row "tool thumbnail vs vipsthumbnail" "vipsthumbnail -s 320 $p12 -o $work/v.jpg" -- "${c[@]}"
mapfile -t c < <(cmds "LIBHEIF_PLUGIN_PATH=$plugins CALL $p12 OUT-c.jpg")
row "lumetra_thumbnail, host configured" "vipsthumbnail -s 320 $p12 -o $work/v.jpg" -- "${c[@]}"
mapfile -t c < <(cmds "CALL $p12 OUT-c.jpg")
row "lumetra_thumbnail, host as is" "vipsthumbnail -s 320 $p12 -o $work/v.jpg" -- "${c[@]}"
mapfile -t c < <(cmds "rm -rf OUT-b && mkdir OUT-b && TOOL batch $work/in OUT-b -j 2 -q 90")
row "batch -j 2, 48 x 1 MP vs xargs -P 2" \
  "rm -rf $work/x && mkdir $work/x && cd $work/in && ls | xargs -P 2 -I{} heif-dec -q 90 {} $work/x/{}.jpg" -- "${c[@]}"
for label in 12MP 24MP 200MP; do
  case $label in 12MP) in=$p12 ;; 24MP) in=$p24 ;; 200MP) in=$p200 ;; esac
  mapfile -t c < <(cmds "TOOL convert --sdr $in OUT.jpg -q 90")
  row "$label HEIC -> JPEG vs heif-dec" "heif-dec -q 90 $in $work/d.jpg" -- "${c[@]}"
done
