#!/usr/bin/env bash
# The Windows build: morvanta-lumetra.dll and lumetra.exe cross-built with
# Debian's mingw-w64, every dependency built statically from Debian's own
# source packages, the test suite run under wine, and a zip of the result
# (build-windows/morvanta-lumetra-<version>-win64.zip).
#
# Built dependencies are cached outside the clone, keyed by their versions:
#   ${LUMETRA_MINGW_CACHE:-$HOME/.cache/morvanta-lumetra/mingw-w64}
# LUMETRA_WINDOWS_TESTS=0 builds and packages without running the tests;
# --dependencies-only stops once the dependencies are in the cache.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# A clean environment (env -i) has no HOME and no exported PATH.
[ -n "$(printenv PATH)" ] || export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
jobs=$(nproc 2>/dev/null || echo 2)
export DEBIAN_FRONTEND=noninteractive

fail() { echo "build-windows: $*" >&2; exit 1; }
. scripts/apt_sources.sh
. scripts/debian_sources.sh

# ---- packages: the cross compilers, nasm for the codecs' assembly, wine ----
# (git: x265's build reads its version file only when git is installed,
# which is why Debian's x265 build-depends on it; meson and ninja build dav1d.)
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  nasm cmake make meson ninja-build pkg-config dpkg-dev git wine wine64 libz-mingw-w64-dev libstb-dev libcli11-dev
  googletest)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-windows: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    fail "could not install ${missing[*]} from Debian's packages"
fi
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump /usr/bin/wine; do
  command -v "$tool" >/dev/null || fail "$tool is missing: no Windows build on this machine"
done

# ---- Debian's sources: deb-src entries for the suites the sources come from ----
add_source_entries
heif_version=$(linux_heif_version)
declare -A version=(
  [libde265]=$(source_version libde265) [x265]=$(source_version x265) [libheif]=$heif_version
  [libjpeg-turbo]=$(source_version libjpeg-turbo) [libpng1.6]=$(source_version libpng1.6)
  [dav1d]=$(source_version dav1d) [aom]=$(source_version aom)
)
for p in "${!version[@]}"; do [ -n "${version[$p]}" ] || fail "no Debian source package for $p"; done
gcc_version=$(x86_64-w64-mingw32-g++-posix -dumpversion)
zlib_version=$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
# Bumped whenever the build options below change.
recipe=3
deps=(libde265 x265 dav1d aom libheif libjpeg-turbo libpng1.6)
key="r$recipe-gcc$gcc_version-z$zlib_version"
for p in "${deps[@]}"; do key+="-$p${version[$p]}"; done
key=$(echo "$key" | tr ':~+' '_._')

cache=${LUMETRA_MINGW_CACHE:-$HOME/.cache/morvanta-lumetra/mingw-w64}
prefix=$cache/$key
export LUMETRA_MINGW_PREFIX=$prefix
toolchain=$root/cmake/mingw-w64-x86_64.cmake
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:/usr/x86_64-w64-mingw32/lib/pkgconfig
export PKG_CONFIG_PATH=

# Configures, builds and installs one CMake project into the prefix.
cmake_dep() {
  local name=$1 src=$2; shift 2
  local build=$cache/build/$name
  rm -rf "$build"
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" "$@" >"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "configuring $name failed"; }
  cmake --build "$build" -j "$jobs" >>"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "building $name failed"; }
  cmake --install "$build" >>"$cache/build/$name.log" 2>&1 || fail "installing $name failed"
}

# Configures, builds and installs one Meson project into the prefix.
meson_dep() {
  local name=$1 src=$2; shift 2
  local build=$cache/build/$name cross=$cache/build/mingw-w64.meson
  rm -rf "$build"
  cat >"$cross" <<MESON
[binaries]
c = 'x86_64-w64-mingw32-gcc-posix'
ar = 'x86_64-w64-mingw32-ar'
strip = 'x86_64-w64-mingw32-strip'
windres = 'x86_64-w64-mingw32-windres'
pkgconfig = 'pkg-config'

[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'
MESON
  meson setup "$build" "$src" --cross-file "$cross" --prefix "$prefix" --libdir lib --buildtype release \
    --default-library static "$@" >"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "configuring $name failed"; }
  ninja -C "$build" -j "$jobs" install >>"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "building $name failed"; }
}

# Runs one build step and notes its seconds for the summary line.
timed() {
  local name=$1 t=$SECONDS; shift
  "$@"
  times+=("$name $((SECONDS - t)) s")
}

build_dependencies() {
  mkdir -p "$cache/build" "$cache/sources"
  local s=$cache/sources start=$SECONDS times=()
  echo "build-windows: building the dependencies into $prefix (once per version set)"
  for p in "${deps[@]}"; do fetch_source "$p" "${version[$p]}" "$s/$p"; done
  # No dllexport in the static libraries: the DLL must export only ours.
  local static_flags="-DLIBDE265_STATIC_BUILD -DLIBHEIF_STATIC_BUILD"
  timed libde265 cmake_dep libde265 "$s/libde265" -DBUILD_SHARED_LIBS=OFF -DENABLE_SDL=OFF -DENABLE_DECODER=OFF \
    -DENABLE_ENCODER=OFF -DCMAKE_C_FLAGS="$static_flags" -DCMAKE_CXX_FLAGS="$static_flags"
  timed x265 cmake_dep x265 "$s/x265/source" -DENABLE_SHARED=OFF -DENABLE_CLI=OFF -DENABLE_ASSEMBLY=ON
  # AVIF: dav1d decodes (8 to 12 bits), libaom only encodes; no tools,
  # tests, examples or documentation.
  timed dav1d meson_dep dav1d "$s/dav1d" -Denable_tools=false -Denable_tests=false -Denable_examples=false \
    -Denable_docs=false -Dbitdepths=8,16
  timed aom cmake_dep aom "$s/aom" -DBUILD_SHARED_LIBS=OFF -DCONFIG_AV1_DECODER=0 -DENABLE_NASM=ON \
    -DENABLE_DOCS=OFF -DENABLE_EXAMPLES=OFF -DENABLE_TESTDATA=OFF -DENABLE_TESTS=OFF -DENABLE_TOOLS=OFF
  timed libjpeg-turbo cmake_dep libjpeg-turbo "$s/libjpeg-turbo" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
    -DWITH_JPEG8=OFF
  timed libpng cmake_dep libpng "$s/libpng1.6" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -DZLIB_ROOT=/usr/x86_64-w64-mingw32
  timed libheif cmake_dep libheif "$s/libheif" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DWITH_EXAMPLES=OFF \
    -DWITH_GDK_PIXBUF=OFF -DENABLE_PLUGIN_LOADING=OFF -DWITH_LIBSHARPYUV=OFF \
    -DWITH_LIBDE265=ON -DWITH_LIBDE265_PLUGIN=OFF -DWITH_X265=ON -DWITH_X265_PLUGIN=OFF \
    -DWITH_AOM_DECODER=OFF -DWITH_AOM_ENCODER=ON -DWITH_AOM_ENCODER_PLUGIN=OFF -DWITH_DAV1D=ON \
    -DWITH_DAV1D_PLUGIN=OFF -DWITH_RAV1E=OFF -DWITH_SvtEnc=OFF \
    -DWITH_OpenH264_DECODER=OFF -DWITH_JPEG_DECODER=OFF -DWITH_JPEG_ENCODER=OFF \
    -DWITH_OpenJPEG_DECODER=OFF -DWITH_OpenJPEG_ENCODER=OFF -DWITH_FFMPEG_DECODER=OFF \
    -DWITH_OPENJPH_ENCODER=OFF -DWITH_UNCOMPRESSED_CODEC=ON \
    -DCMAKE_C_FLAGS="$static_flags" -DCMAKE_CXX_FLAGS="$static_flags"
  cmake_dep googletest /usr/src/googletest -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF
  rm -rf "$cache/build" "$cache/sources"
  touch "$prefix/.complete"
  echo "build-windows: dependencies built in $((SECONDS - start)) s (${times[*]})"
}
if [ -f "$prefix/.complete" ]; then
  echo "build-windows: dependencies from the cache ($prefix)"
else
  rm -rf "$prefix"
  mkdir -p "$prefix"
  build_dependencies
fi
[ "${1:-}" != --dependencies-only ] || exit 0

# ---- the project ----
build=$root/build-windows
# A build configured against other dependencies would keep linking those.
if [ "$(cat "$build/.dependencies" 2>/dev/null)" != "$prefix" ]; then
  rm -rf "$build"
  mkdir -p "$build"
  echo "$prefix" >"$build/.dependencies"
fi
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DLUMETRA_BUILD_TESTS="${LUMETRA_WINDOWS_TESTS:-1}" >/dev/null
cmake --build "$build" -j "$jobs"

# ---- the tests, under wine ----
# run_cases FILTER: the test program's cases that FILTER takes, in two
# processes side by side (gtest's sharding), each with a time limit; their
# standard error (x265's notes) is shown only when one stops early. A case
# that fails is run once more on its own: under load wine now and then
# fails to start a program a case runs; a real failure fails twice. A
# process that ends before gtest's closing summary fails the run.
run_cases() {
  local filter=$1 logs=$build/wine-cases shard name count passed=0 skipped=0 again=0 failed=0
  rm -rf "$logs"
  mkdir -p "$logs"
  for shard in 0 1; do
    (cd "$build/tests" && GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard timeout 1800 wine ./lumetra_tests.exe \
      --gtest_brief=1 "--gtest_filter=$filter" </dev/null 2>"$logs/$shard.err" | tr -d '\r' >"$logs/$shard.log") &
  done
  wait
  for shard in 0 1; do
    cat "$logs/$shard.log"
    if ! grep -q '^\[==========\] [0-9]* tests\? from .* ran\.' "$logs/$shard.log"; then
      tail -n 20 "$logs/$shard.err" | tr -d '\r'
      echo "build-windows: shard $shard of the test program stopped before its summary" >&2
      return 1
    fi
    passed=$((passed + $(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$logs/$shard.log")))
    # gtest leaves the skipped count out when it is 0.
    count=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?\.$/\1/p' "$logs/$shard.log")
    skipped=$((skipped + ${count:-0}))
    # gtest's closing list names each failed case alone on its line.
    sed -n '/^\[  FAILED  \] [0-9]* tests\?, listed below:/,$ s/^\[  FAILED  \] \([^ ,]*\)\(,.*\)\?$/\1/p' \
      "$logs/$shard.log" >>"$logs/failed"
  done
  while read -r name; do
    [ -n "$name" ] || continue
    echo "build-windows: running $name once more on its own"
    if (cd "$build/tests" && timeout 600 wine ./lumetra_tests.exe "--gtest_filter=$name" </dev/null 2>/dev/null |
      tr -d '\r' >"$logs/again.log") && grep -q '^\[  PASSED  \] 1 test\.' "$logs/again.log"; then
      again=$((again + 1))
    else
      cat "$logs/again.log"
      failed=$((failed + 1))
    fi
  done < <(sort -u "$logs/failed" 2>/dev/null)
  echo "build-windows: $((passed + again)) cases passed under wine ($again on a second run), $skipped skipped, $failed failed"
  [ "$failed" = 0 ]
}

if [ "${LUMETRA_WINDOWS_TESTS:-1}" != 0 ]; then
  export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$cache/wine}
  # wine takes its code pages from the Unix locale: without a UTF-8 one it
  # cannot name a file beyond ASCII at all. C.UTF-8 (in every Debian)
  # gives UTF-8 names on disk and ANSI code page 1252 to Windows programs
  # (65001 to lumetra.exe, by its manifest), whatever the caller's locale.
  export LC_ALL=C.UTF-8
  unset LANGUAGE
  # A prefix of our own, made once; then a wineserver that stays for the
  # run (a lingering one per test would hold ctest's output pipe).
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || fail "wineboot failed: wine cannot run here"
  wineserver -p 2>/dev/null || true  # already running is fine
  wine cmd /c exit </dev/null >/dev/null 2>&1 || fail "wine cannot start a program"
  status=0
  # The corpus sweeps (full-size photos through platform-independent code)
  # run in the Linux passes; here the tool's outputs for corpus photos are
  # compared byte for byte with the Linux tool's instead (below). Under wine
  # the sweeps would take as long as the rest of the suite. Of the streamed
  # grids' orientation table, the YCbCr writer's cases run here (the RGB and
  # PNG writers share their band walk and turn).
  # The export table, the C consumer and the fuzz seeds run under ctest; the
  # suite's cases in two processes of the test program side by side, a gtest
  # shard each: wine spends about half a second starting a program, which
  # ctest's process per case would pay 400 times.
  (cd "$build" && ctest --output-on-failure -j "$jobs" --repeat until-pass:2 \
    -R '^(exported_symbols|c_consumer_dll|fuzz_seed_replay)$') || status=$?
  run_cases '-Corpus.*:Corpus/*:GridStream/GridOrientation.*_rgb_jpeg:GridStream/GridOrientation.*_png' ||
    status=$?
  wineserver -k || true
  [ "$status" = 0 ] || fail "tests failed under wine"
  # The tool against the Linux build's on a few corpus files.
  if [ -d "$root/build" ] && [ -x "$root/build/lumetra" ]; then
    "$root/scripts/compare-windows.sh" "$root/build/lumetra" "$build/lumetra.exe" || fail "lumetra.exe differs from the Linux tool"
    wineserver -k || true
  fi
fi

# ---- the zip ----
version=$(sed -n 's/^project(morvanta-lumetra VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$build/morvanta-lumetra-$version-win64
rm -rf "$stage"
mkdir -p "$stage"
cp "$build/morvanta-lumetra.dll" "$build/libmorvanta-lumetra.dll.a" include/lumetra.h "$build/lumetra.exe" "$stage/"
x86_64-w64-mingw32-strip "$stage/lumetra.exe"
cp packaging/windows/README.txt "$stage/README.txt"
zip=$build/morvanta-lumetra-$version-win64.zip
rm -f "$zip"
(cd "$build" && cmake -E tar cf "$zip" --format=zip "$(basename "$stage")")
echo "build-windows: $zip"
