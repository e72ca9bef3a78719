#!/usr/bin/env bash
# Set-up, the formatting check, the build, and the whole test suite: once in a release build, once
# under AddressSanitizer + UBSan (leak detection on), once under
# ThreadSanitizer, then the Windows build's suite under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/check-format.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

if [ "${LUMETRA_SKIP_SANITIZERS:-0}" != 1 ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLUMETRA_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j "$jobs" -LE no-sanitizer)
fi

# Calls from many threads, and the rest of the suite, under ThreadSanitizer.
# The corpus sweeps (full-size phone photos, one thread each) would take most
# of an hour here; the builds above run them.
if [ "${LUMETRA_SKIP_SANITIZERS:-0}" != 1 ]; then
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DLUMETRA_TSAN=ON >/dev/null
  cmake --build build-tsan -j "$jobs"
  (cd build-tsan && ctest --output-on-failure -j "$jobs" -LE no-sanitizer -E '^Corpus[./]')
fi

# The Windows DLL and tool, their tests under wine, the zip. Fails loudly
# where the cross compilers or wine cannot be had.
if [ "${LUMETRA_SKIP_WINDOWS:-0}" != 1 ]; then
  ./scripts/build-windows.sh
fi
