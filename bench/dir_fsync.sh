#!/usr/bin/env bash
# What syncing the output's directory after the rename costs: lumetra batch
# -j 1 built from the commit that added the sync and from its parent (git
# worktrees), whole-process runs alternating, on N small files (64 x 64) and
# N 12 MP phone photos. Medians, and the difference per file.
# Usage: bench/dir_fsync.sh [RUNS] [SMALL] [LARGE] (default 5 200 24).
# Needs ../shared/corpus; write where the outputs should land with TMPDIR
# (a tmpfs syncs nothing).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5} small=${2:-200} large=${3:-24}
corpus=../shared/corpus/heif
for f in noalpha-64x64-nothumb.heic grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic; do
  [ -f "$corpus/$f" ] || { echo "dir_fsync bench: $corpus/$f not found" >&2; exit 2; }
done
after=$(git log --reverse --format=%H -S sync_directory -- src/output_file.cpp src/base/output_file.cpp | sed -n 1p)
[ -n "$after" ] || { echo "dir_fsync bench: no commit adds sync_directory" >&2; exit 2; }
work=$(mktemp -d)
cleanup() {
  for v in before after; do git worktree remove --force "$work/$v" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

build() {  # build VARIANT COMMIT
  git worktree add --detach "$work/$1" "$2" >/dev/null 2>&1
  cmake -S "$work/$1" -B "$work/$1/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/$1/build" -j "$(nproc)" --target lumetra >/dev/null
}
build before "$after~1"
build after "$after"

mkdir -p "$work/small" "$work/large"
for i in $(seq -w 1 "$small"); do cp "$corpus/noalpha-64x64-nothumb.heic" "$work/small/s$i.heic"; done
for i in $(seq -w 1 "$large"); do cp "$corpus/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic" "$work/large/p$i.heic"; done

seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk "BEGIN{print $e - $s}"; }
run() { rm -rf "$work/out"; "$work/$1/build/lumetra" batch "$work/$2" "$work/out" -j 1; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

for set in small large; do
  : >"$work/t_before"; : >"$work/t_after"
  for _ in $(seq "$runs"); do
    seconds run before "$set" >>"$work/t_before"
    seconds run after "$set" >>"$work/t_after"
  done
  n=$([ "$set" = small ] && echo "$small" || echo "$large")
  b=$(median <"$work/t_before") a=$(median <"$work/t_after")
  printf '%-5s %4d files  without %7.2f s  with %7.2f s  %+6.2f ms per file (%+.1f %%)\n' "$set" "$n" "$b" "$a" \
    "$(awk "BEGIN{print ($a - $b) * 1000 / $n}")" "$(awk "BEGIN{print ($a - $b) * 100 / $b}")"
done
