#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang under AddressSanitizer + UBSan
# and runs each for a bounded time, then prints executions, coverage and
# crashes found. Usage: fuzz/run.sh [SECONDS_PER_HARNESS] [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${LUMETRA_FUZZ_BUILD:-build-fuzz}  # a second build directory lets two runs go side by side
secs=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(exif_parse jpeg_exif detect raster_source heif_calls meta_box gain_map_metadata)

command -v clang++ >/dev/null || { echo "fuzz: clang++ is needed (apt-get install clang libclang-rt-14-dev)"; exit 2; }
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DLUMETRA_FUZZ=ON -DLUMETRA_SANITIZE=ON >/dev/null
targets=(fuzz_make_seeds)
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null

seeds=$build/seeds
rm -rf "$seeds"
"$build"/fuzz/fuzz_make_seeds "$seeds"
# Small real files make good seeds too, when the corpus is there.
if [ -d ../shared/corpus ]; then
  find ../shared/corpus/heif ../shared/corpus/avif ../shared/corpus/heif-broken -type f -size -64k \
       -exec cp {} "$seeds/heif_calls/" \; -exec cp {} "$seeds/meta_box/" \; 2>/dev/null || true
  find ../shared/corpus/raster -type f -size -64k -exec cp {} "$seeds/raster_source/" \; 2>/dev/null || true
  find ../shared/corpus/raster/jpeg -type f -size -64k -exec cp {} "$seeds/jpeg_exif/" \; 2>/dev/null || true
fi

mkdir -p fuzz/artifacts
printf '%-14s %8s %10s %8s %8s %s\n' harness seconds execs cov ft crashes
for h in "${harnesses[@]}"; do
  corpus=fuzz/corpus-$h
  mkdir -p "$corpus"
  log=$build/fuzz-$h.log
  # libFuzzer stops at a crash: note it and go on for the rest of the time.
  start=$(date +%s) crashes=0 execs=0
  : >"$log"
  while :; do
    left=$((secs - ($(date +%s) - start)))
    [ "$left" -gt 0 ] || break
    before=$(ls fuzz/artifacts | grep -c "^$h-" || true)
    "$build"/fuzz/fuzz_$h "$corpus" "$seeds/$h" -max_total_time="$left" -print_final_stats=1 -timeout=30 \
        -rss_limit_mb=6144 -malloc_limit_mb=6144 -artifact_prefix="fuzz/artifacts/$h-" >"$log.run" 2>&1 || true
    cat "$log.run" >>"$log"
    after=$(ls fuzz/artifacts | grep -c "^$h-" || true)
    # Final stats when the run ended normally, else the last progress line.
    run_execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log.run" | grep -o '[0-9]*$' | tail -n 1)
    [ -n "$run_execs" ] || run_execs=$(grep -o '^#[0-9]*' "$log.run" | tr -d '#' | tail -n 1)
    execs=$((execs + ${run_execs:-0}))
    crashes=$((crashes + after - before))
    [ "$after" -gt "$before" ] && [ "$crashes" -lt 10 ] || break
  done
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*')
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*')
  printf '%-14s %8s %10s %8s %8s %s\n' "$h" "$secs" "$execs" "${cov:-?}" "${ft:-?}" "$crashes"
done
echo "crash inputs, if any: fuzz/artifacts/; logs: $build/fuzz-*.log"
