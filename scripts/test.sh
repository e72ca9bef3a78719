#!/usr/bin/env bash
# Set-up, then every pass of the test suite: the formatting check, a release
# build, AddressSanitizer + UBSan (leak detection on), ThreadSanitizer, the
# Windows build's suite under wine, and the WebAssembly package's under Node. Every pass runs even when an earlier
# one fails; a summary of all of them closes the output, and the exit status
# is non-zero when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
# A clean environment (env -i, cron) has no HOME and no exported PATH (bash
# then keeps its default to itself, and cmake cannot find its own files).
[ -n "$(printenv PATH)" ] || export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
./scripts/setup.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
failures=0
passes=0

# run_pass NAME COMMAND...: runs the command with its output shown and kept,
# then records its result, ctest's counts and its time.
run_pass() {
  local name=$1 start status counts
  shift
  echo "==== $name"
  start=$(date +%s)
  "$@" 2>&1 | tee "$logs/$name.log"
  status=${PIPESTATUS[0]}
  counts=$(grep -E '^[0-9]+% tests passed|^build-windows: [0-9]+ cases passed' "$logs/$name.log" |
    sed 's/^build-windows: //' | paste -sd ';' -)
  passes=$((passes + 1))
  if [ "$status" = 0 ]; then
    summary+=("$(printf '%-10s passed  %5ss  %s' "$name" $(($(date +%s) - start)) "$counts")")
  else
    failures=$((failures + 1))
    summary+=("$(printf '%-10s FAILED  %5ss  %s' "$name" $(($(date +%s) - start)) "${counts:-exit status $status}")")
  fi
}

# The corpus sweeps that put every corpus file through every call run in
# the ASan pass alone when it runs: the same checks, with memory checked.
asan_sweeps='^Corpus(/(HeifFile|RasterFile|EveryImage)\.|\.(Auxiliary|IPhone16Pro|DepthRepresentation|FourTwoTwo|JpegGainMaps|FfmpegGives))'
release_excluded=()
[ "${LUMETRA_SKIP_SANITIZERS:-0}" = 1 ] || release_excluded=(-E "$asan_sweeps")
release() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build build -j "$jobs" &&
    (cd build && env -u LUMETRA_REPEAT ctest --output-on-failure -j "$jobs" "${release_excluded[@]}")
}

# The repeated-calls test's rounds in the sanitizer and wine passes: leaks
# and races show in the first rounds; the resident-memory check that needs
# 200 is the release build's.
export LUMETRA_REPEAT=20

# Every corpus file goes through every call here (HeifFile, RasterFile,
# EveryImage and the auxiliary, gain-map and salvage sweeps: asan_sweeps).
# The sweeps that render the same photos again to compare pixels (HDR
# renditions, streamed grids, either HEVC decoder, the outputs' metadata)
# are the release build's.
asan_repeats='^Corpus(/(HdrPhoto|HdrPngPhoto|CorpusTruth|CorpusGainMapTravel)\.|\.(GridsStreamToTheWholeImageBytes|SameJpegWithEitherDecoder)$)'
asan() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLUMETRA_SANITIZE=ON >/dev/null &&
    cmake --build build-asan -j "$jobs" &&
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --output-on-failure -j "$jobs" -LE no-sanitizer -E "$asan_repeats")
}

# The tests whose code runs on more than one thread: calls from many
# threads, batches and their workers, grids decoded a band of tiles at a
# time on all cores, FFmpeg's decoder loaded on demand, the tool's jobs,
# a gain map made beside its picture.
# The rest of the suite runs one thread of ours (libheif's and x265's own
# workers are suppressed by name in tools/tsan.supp).
tsan_tests='^(Threads|Batch|BatchAtScale|Grid|GridStream/GridBrokenTile|Processes/FfmpegOnDemand|RepeatedCalls|Cli)[./]'
tsan_tests+='|^GridStream/GridOrientation\..*_ycbcr_jpeg|^Hdr/TmapFixture\.KeptOrFallsBackToSdr'
tsan() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DLUMETRA_TSAN=ON >/dev/null &&
    cmake --build build-tsan -j "$jobs" --target lumetra_tests lumetra &&
    (cd build-tsan && ctest --output-on-failure -j "$jobs" -LE no-sanitizer -R "$tsan_tests")
}

# The Windows dependencies (a cold build: about 13 minutes of compiling)
# and then the WebAssembly ones (about 14, libaom included) are built at
# the lowest priority beside the Linux passes, in the CPU time their tests
# leave idle; the Windows and WebAssembly passes then start from the caches
# (the latter with Chromium and the page test's npm packages installed).
# One job does both, one after the other: each installs packages, and apt
# takes one at a time.
deps_pid=
if [ "${LUMETRA_SKIP_WINDOWS:-0}" != 1 ] || [ "${LUMETRA_SKIP_WASM:-0}" != 1 ]; then
  (
    if [ "${LUMETRA_SKIP_WINDOWS:-0}" != 1 ]; then
      nice -n 19 ./scripts/build-windows.sh --dependencies-only >"$logs/windows-dependencies.log" 2>&1
      echo $? >"$logs/windows-dependencies.status"
    fi
    if [ "${LUMETRA_SKIP_WASM:-0}" != 1 ]; then
      nice -n 19 ./scripts/build-wasm.sh --dependencies-only >"$logs/wasm-dependencies.log" 2>&1
      status=$?
      # Where these cannot be had, the page's browser test says so.
      ./scripts/build-web.sh --tools-only >>"$logs/wasm-dependencies.log" 2>&1
      echo "$status" >"$logs/wasm-dependencies.status"
    fi
  ) &
  deps_pid=$!
fi
# The status a dependency build left (NAME: windows or wasm), once it has.
dependencies_status() {
  while [ ! -f "$logs/$1-dependencies.status" ] && kill -0 "$deps_pid" 2>/dev/null; do sleep 5; done
  cat "$logs/$1-dependencies.status" 2>/dev/null || echo 1
}

run_pass format ./scripts/check-format.sh
run_pass release release
if [ "${LUMETRA_SKIP_SANITIZERS:-0}" != 1 ]; then
  run_pass asan asan
  run_pass tsan tsan
fi
# The Windows DLL and tool, their tests under wine, the zip. Fails loudly
# where the cross compilers or wine cannot be had.
windows() {
  cat "$logs/windows-dependencies.log"
  [ "$1" = 0 ] || return "$1"
  ./scripts/build-windows.sh
}
if [ "${LUMETRA_SKIP_WINDOWS:-0}" != 1 ]; then
  run_pass windows windows "$(dependencies_status windows)"
fi
# The WebAssembly module and npm package, their tests under Node against
# the release build's tool: the same bytes and documents.
wasm() {
  cat "$logs/wasm-dependencies.log"
  [ "$1" = 0 ] || return "$1"
  ./scripts/build-wasm.sh && NODE_PATH=/usr/share/nodejs node --test js/test/
}
if [ "${LUMETRA_SKIP_WASM:-0}" != 1 ]; then
  run_pass wasm wasm "$(dependencies_status wasm)"
fi
[ -z "$deps_pid" ] || wait "$deps_pid"

echo "==== summary"
printf '%s\n' "${summary[@]}"
echo "passes: $((passes - failures)) passed, $failures failed"
[ "$failures" = 0 ]
