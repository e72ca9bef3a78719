#!/usr/bin/env bash
# lumetra batch on a camera roll: 48 copies of a 12 MP phone photo, against
# a sequential shell loop of heif-convert and xargs -P 2 heif-convert, runs
# alternating; then files per second at -j 1, 2 and 4.
# Usage: bench/batch.sh [RUNS] (default 3). Needs ../shared/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
photo=../shared/corpus/heif/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic
[ -f "$photo" ] || { echo "batch bench: $photo not found" >&2; exit 2; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target lumetra >/dev/null
tool=$PWD/build/lumetra
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
for i in $(seq -w 1 48); do cp "$photo" "$work/in/photo$i.heic"; done

seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk "BEGIN{print $e - $s}"; }
fresh_out() { rm -rf "$work/out"; mkdir "$work/out"; }
ours() { fresh_out; "$tool" batch "$work/in" "$work/out" -j "$1" -q 90; }
loop() { fresh_out; for f in "$work"/in/*.heic; do heif-convert -q 90 "$f" "$work/out/$(basename "${f%.heic}").jpg"; done; }
xargs2() { fresh_out; ls "$work"/in/*.heic | xargs -P 2 -I{} sh -c 'heif-convert -q 90 "$1" "$2/$(basename "${1%.heic}").jpg"' _ {} "$work/out"; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

: >"$work/t_ours"; : >"$work/t_loop"; : >"$work/t_xargs"
for _ in $(seq "$runs"); do
  seconds ours 2 >>"$work/t_ours"
  seconds loop >>"$work/t_loop"
  seconds xargs2 >>"$work/t_xargs"
done
o=$(median <"$work/t_ours"); l=$(median <"$work/t_loop"); x=$(median <"$work/t_xargs")
printf 'lumetra batch -j 2        %6.2f s\n' "$o"
printf 'shell loop heif-convert   %6.2f s   ratio ours/loop  %.2f\n' "$l" "$(awk "BEGIN{print $o/$l}")"
printf 'xargs -P 2 heif-convert   %6.2f s   ratio ours/xargs %.2f\n' "$x" "$(awk "BEGIN{print $o/$x}")"
for j in 1 2 4; do
  t=$(seconds ours "$j")
  printf 'lumetra batch -j %d        %6.2f s   %.1f files/s\n' "$j" "$t" "$(awk "BEGIN{print 48/$t}")"
done
