#!/usr/bin/env bash
# The WebAssembly build: the library compiled with Debian's emscripten into
# four modules, every dependency built statically from Debian's own source
# packages: build-wasm/lumetra.js + lumetra.wasm with HEVC's decoder, on one
# thread, and lumetra-mt, the same threaded (shared memory: the package
# takes it where the host has SharedArrayBuffer); lumetra-avif, one thread,
# with dav1d's AV1 decoder, libaom's AV1 encoder and libheif's uncompressed
# codec as well, and lumetra-heic-mt, threaded, with dav1d, the uncompressed
# codec and x265's HEVC encoder (the package loads these only for photos
# that hold AV1 or uncompressed pictures and for AVIF and HEIC output), and
# the npm package of js/ packed around them.
# The last line printed is the path of the package's tarball. The page of
# web/ is assembled beside it (scripts/build-web.sh).
#
# Built dependencies are cached outside the clone, keyed by their versions:
#   ${LUMETRA_WASM_CACHE:-$HOME/.cache/morvanta-lumetra/wasm}
# --dependencies-only stops once the dependencies are in the cache.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# A clean environment (env -i) has no HOME and no exported PATH.
[ -n "$(printenv PATH)" ] || export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
jobs=2
export DEBIAN_FRONTEND=noninteractive

fail() { echo "build-wasm: $*" >&2; exit 1; }
. scripts/apt_sources.sh
. scripts/debian_sources.sh

# ---- packages: emscripten (with the acorn its optimiser needs), Node ----
packages=(emscripten node-acorn nodejs cmake make meson ninja-build pkg-config dpkg-dev patch libstb-dev)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
# Debian's nodejs comes without npm; other builds of Node carry their own.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-wasm: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    fail "could not install ${missing[*]} from Debian's packages"
fi
for tool in emcc emar node npm; do command -v "$tool" >/dev/null || fail "$tool is missing: no WebAssembly build here"; done
export NODE_PATH=/usr/share/nodejs
node=$(command -v node)
em_root=$(em-config EMSCRIPTEN_ROOT)
# emcc takes a lock in its cache: a copy of Debian's prebuilt one where
# that is not writable.
em_cache=$(em-config CACHE)
cache=${LUMETRA_WASM_CACHE:-$HOME/.cache/morvanta-lumetra/wasm}
mkdir -p "$cache"
if [ ! -w "$em_cache" ]; then
  [ -d "$cache/em-cache" ] || cp -a "$em_cache" "$cache/em-cache"
  export EM_CACHE=$cache/em-cache
fi

# ---- Debian's sources: deb-src entries for the suites the sources come from ----
add_source_entries
heif_version=$(linux_heif_version)
declare -A version=(
  [zlib]=$(source_version zlib) [libpng1.6]=$(source_version libpng1.6)
  [libjpeg-turbo]=$(source_version libjpeg-turbo) [libde265]=$(source_version libde265)
  [dav1d]=$(source_version dav1d) [aom]=$(source_version aom) [x265]=$(source_version x265)
  [libheif]=$heif_version
)
for p in "${!version[@]}"; do [ -n "${version[$p]}" ] || fail "no Debian source package for $p"; done
emcc_version=$(emcc -dumpversion)
# Bumped whenever the build options below change.
recipe=8
deps=(zlib libpng1.6 libjpeg-turbo libde265 dav1d aom x265 libheif)
key="r$recipe-emcc$emcc_version"
for p in "${deps[@]}"; do key+="-$p${version[$p]}"; done
key=$(echo "$key" | tr ':~+' '_._')

prefix=$cache/$key
toolchain=$em_root/cmake/Modules/Platform/Emscripten.cmake
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=
# Configure checks run their programs under Node; its fetch() would take
# the module's .wasm path for a URL (every check program then fails).
emulator="$node;--no-experimental-fetch"
# Objects for shared memory (atomics, thread-local storage) link into the
# threaded modules and the one-thread ones alike; those that use setjmp
# (libpng, libaom) keep its state per thread when compiled so, and are built
# for each kind of module they go into.
threads=-pthread

# Configures, builds and installs one CMake project into the prefix.
cmake_dep() {
  local name=$1 src=$2; shift 2
  local build=$cache/build/$name
  rm -rf "$build"
  # The libraries are what is kept: programs a project builds beside them
  # (libjpeg-turbo's tools, configure checks) are linked unoptimised.
  nice -n 10 cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS=-O0 \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" -DCMAKE_INSTALL_PREFIX="${install_prefix:-$prefix}" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_ROOT_PATH="$prefix" "$@" >"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "configuring $name failed"; }
  nice -n 10 cmake --build "$build" -j "$jobs" >>"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "building $name failed"; }
  cmake --install "$build" >>"$cache/build/$name.log" 2>&1 || fail "installing $name failed"
}

# Configures, builds and installs one Meson project into the prefix.
meson_dep() {
  local name=$1 src=$2; shift 2
  local build=$cache/build/$name cross=$cache/build/emscripten.meson
  rm -rf "$build"
  cat >"$cross" <<MESON
[binaries]
c = 'emcc'
cpp = 'em++'
ar = 'emar'
ranlib = 'emranlib'
pkgconfig = 'pkg-config'
exe_wrapper = ['$node', '--no-experimental-fetch']

[host_machine]
system = 'emscripten'
cpu_family = 'wasm32'
cpu = 'wasm32'
endian = 'little'
MESON
  nice -n 10 meson setup "$build" "$src" --cross-file "$cross" --prefix "$prefix" --libdir lib \
    --buildtype release --default-library static -Dc_args="$threads" -Dcpp_args="$threads" "$@" >"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "configuring $name failed"; }
  nice -n 10 ninja -C "$build" -j "$jobs" install >>"$cache/build/$name.log" 2>&1 ||
    { tail -40 "$cache/build/$name.log"; fail "building $name failed"; }
}

# zlib's CMake build wants win32/zlib1.rc, which Debian's source drops.
zlib_dep() {
  local src=$1
  (cd "$src" && CFLAGS="-O3 $threads" nice -n 10 emconfigure ./configure --static --prefix="$prefix" &&
    nice -n 10 emmake make -j "$jobs" libz.a && emmake make install) >"$cache/build/zlib.log" 2>&1 ||
    { tail -40 "$cache/build/zlib.log"; fail "building zlib failed"; }
}

# libde265's SSE2/SSSE3/SSE4.1 code runs as SIMD128 through emscripten's
# SSE headers; the CPU is not asked (there is no cpuid), SSE4.1 is given.
patch_libde265() {
  patch -s -p1 -d "$1" <<'PATCH' || fail "patching libde265 failed"
--- a/libde265/x86/sse.cc
+++ b/libde265/x86/sse.cc
@@ -31,7 +31,7 @@
 #include "config.h"
 #endif
 
-#ifdef __GNUC__
+#if defined(__GNUC__) && !defined(__EMSCRIPTEN__)
 #include <cpuid.h>
 #endif
 
@@ -39,7 +39,10 @@
 {
   uint32_t ecx=0,edx=0;
 
-#ifdef _MSC_VER
+#if defined(__EMSCRIPTEN__)
+  ecx = 1u << 19;
+  edx = 1u << 25;
+#elif defined(_MSC_VER)
   uint32_t regs[4];
   int a = 1;
 
PATCH
}

# libheif turns libde265's deblocking and SAO off under emscripten, which
# changes the pixels: both stay on, as in every other build.
patch_libheif() {
  patch -s -p1 -d "$1" <<'PATCH' || fail "patching libheif failed"
--- a/libheif/plugins/decoder_libde265.cc
+++ b/libheif/plugins/decoder_libde265.cc
@@ -163,11 +163,7 @@
   struct heif_error err = {heif_error_Ok, heif_suberror_Unspecified, kSuccess};
 
   decoder->ctx = de265_new_decoder();
-#if defined(__EMSCRIPTEN__)
-  // Speed up decoding from JavaScript.
-  de265_set_parameter_bool(decoder->ctx, DE265_DECODER_PARAM_DISABLE_DEBLOCKING, 1);
-  de265_set_parameter_bool(decoder->ctx, DE265_DECODER_PARAM_DISABLE_SAO, 1);
-#else
+#if !defined(__EMSCRIPTEN__)
   // Worker threads are not supported when running on Emscripten.
   de265_start_worker_threads(decoder->ctx, 1);
 #endif
PATCH
  # The modules' threads come from a fixed pool of workers (a blocked caller
  # cannot start more): dav1d decodes on the calling thread, and x265 runs
  # one frame thread and a pool of at most 8.
  patch -s -p1 -d "$1" <<'PATCH' || fail "patching libheif failed"
--- a/libheif/plugins/decoder_dav1d.cc
+++ b/libheif/plugins/decoder_dav1d.cc
@@ -100,6 +100,10 @@
   }
 
   decoder->settings.all_layers = 0;
+#if defined(__EMSCRIPTEN__)
+  decoder->settings.n_threads = 1;
+  decoder->settings.max_frame_delay = 1;
+#endif
 
   if (dav1d_open(&decoder->context, &decoder->settings) != 0) {
     delete decoder;
--- a/libheif/plugins/encoder_x265.cc
+++ b/libheif/plugins/encoder_x265.cc
@@ -28,6 +28,8 @@
 #include <cstdio>
 #include <cassert>
 #include <vector>
+#include <algorithm>
+#include <thread>
 
 extern "C" {
 #include <x265.h>
@@ -777,6 +779,10 @@
   }
 
   api->param_parse(param, "info", "0");
+#if defined(__EMSCRIPTEN__)
+  api->param_parse(param, "frame-threads", "1");
+  api->param_parse(param, "pools", std::to_string(std::max(1u, std::min(8u, std::thread::hardware_concurrency()))).c_str());
+#endif
   api->param_parse(param, "limit-modes", "0");
   api->param_parse(param, "limit-refs", "0");
   api->param_parse(param, "ctu", ctu);
PATCH
}

# libheif's build takes a list of its sources to compile at -O3 whatever
# the build type (LUMETRA_FAST_SOURCES): the smaller module's libheif is
# built for size but for the code every pixel goes through.
patch_libheif_fast_sources() {
  cat >>"$1/libheif/CMakeLists.txt" <<'CMAKE'

if (LUMETRA_FAST_SOURCES)
    set_source_files_properties(${LUMETRA_FAST_SOURCES} TARGET_DIRECTORY heif PROPERTIES COMPILE_OPTIONS -O3)
endif ()
CMAKE
}

# libjpeg-turbo has no SIMD code for WebAssembly: its forward DCT and
# quantisation, which every JPEG block goes through, are compiled for the
# compiler to vectorise (-msimd128), quantisation without the sign branch
# that keeps it scalar. The same integer arithmetic: the same bytes.
patch_libjpeg_turbo() {
  patch -s -p1 -d "$1" <<'PATCH' || fail "patching libjpeg-turbo failed"
--- a/jcdctmgr.c
+++ b/jcdctmgr.c
@@ -423,16 +423,13 @@
     corr =  divisors[i + DCTSIZE2 * 1];
     shift = divisors[i + DCTSIZE2 * 3];
 
-    if (temp < 0) {
-      temp = -temp;
-      product = (UDCTELEM2)(temp + corr) * recip;
-      product >>= shift + sizeof(DCTELEM) * 8;
-      temp = (DCTELEM)product;
-      temp = -temp;
-    } else {
+    {
+      DCTELEM sign = temp >> (sizeof(DCTELEM) * 8 - 1);
+      temp = (temp ^ sign) - sign;
       product = (UDCTELEM2)(temp + corr) * recip;
       product >>= shift + sizeof(DCTELEM) * 8;
       temp = (DCTELEM)product;
+      temp = (temp ^ sign) - sign;
     }
     output_ptr[i] = (JCOEF)temp;
   }
PATCH
  cat >>"$1/CMakeLists.txt" <<'CMAKE'

set_source_files_properties(jfdctint.c jcdctmgr.c PROPERTIES COMPILE_OPTIONS -msimd128)
CMAKE
}

# dav1d asks Meson for its threads dependency, which under emscripten would
# add -pthread to its programs' links as well: it takes an empty one (the
# objects get $threads, and dav1d decodes on the calling thread).
patch_dav1d() {
  patch -s -p1 -d "$1" <<'PATCH' || fail "patching dav1d failed"
--- a/meson.build
+++ b/meson.build
@@ -125,6 +125,9 @@
     rc_data.set('API_VERSION_MINOR', dav1d_api_version_minor)
     rc_data.set('API_VERSION_REVISION', dav1d_api_version_revision)
     rc_data.set('COPYRIGHT_YEARS', '2022')
+elif host_machine.system() == 'emscripten'
+    thread_dependency = declare_dependency()
+    thread_compat_dep = []
 else
     thread_dependency = dependency('threads')
     thread_compat_dep = []
PATCH
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
  echo "build-wasm: building the dependencies into $prefix (once per version set)"
  for p in "${deps[@]}"; do fetch_source "$p" "${version[$p]}" "$s/$p"; done
  patch_libde265 "$s/libde265"
  patch_libheif "$s/libheif"
  patch_libheif_fast_sources "$s/libheif"
  patch_libjpeg_turbo "$s/libjpeg-turbo"
  patch_dav1d "$s/dav1d"
  timed zlib zlib_dep "$s/zlib"
  local png=(-DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF
    -DPNG_HARDWARE_OPTIMIZATIONS=OFF -DZLIB_ROOT="$prefix")
  timed libpng cmake_dep libpng "$s/libpng1.6" "${png[@]}" -DCMAKE_C_FLAGS="$threads"
  install_prefix=$prefix/one-thread timed libpng-one-thread cmake_dep libpng-one-thread "$s/libpng1.6" "${png[@]}"
  timed libjpeg-turbo cmake_dep libjpeg-turbo "$s/libjpeg-turbo" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF -DWITH_SIMD=OFF -DCMAKE_C_FLAGS="$threads"
  timed libde265 cmake_dep libde265 "$s/libde265" -DBUILD_SHARED_LIBS=OFF -DENABLE_SDL=OFF -DENABLE_DECODER=OFF \
    -DENABLE_ENCODER=OFF -DCMAKE_C_FLAGS="-msimd128 $threads" -DCMAKE_CXX_FLAGS="-msimd128 $threads"
  # AVIF: dav1d decodes (8 to 12 bits), in C (its assembly is x86's and ARM's).
  timed dav1d meson_dep dav1d "$s/dav1d" -Denable_tools=false -Denable_tests=false -Denable_examples=false \
    -Denable_docs=false -Denable_asm=false -Dbitdepths=8,16
  # libaom encodes AVIF, in the one-thread module: its C code (the generic
  # target has no assembly or SIMD code, and this version none for
  # WebAssembly), no threads, no decoder, tools, tests or examples.
  timed aom cmake_dep aom "$s/aom" -DBUILD_SHARED_LIBS=OFF -DAOM_TARGET_CPU=generic -DCONFIG_MULTITHREAD=0 \
    -DCONFIG_AV1_DECODER=0 -DENABLE_DOCS=OFF -DENABLE_EXAMPLES=OFF -DENABLE_TESTDATA=OFF -DENABLE_TESTS=OFF \
    -DENABLE_TOOLS=OFF
  # x265 encodes HEIC, 8 bits, in C (an unknown processor to its build: no
  # x86 code or flags). Its encoder runs its frames on threads of its own:
  # it goes into the threaded module only.
  timed x265 cmake_dep x265 "$s/x265/source" -DEMSCRIPTEN_SYSTEM_PROCESSOR=wasm32 -DENABLE_SHARED=OFF \
    -DENABLE_CLI=OFF -DENABLE_ASSEMBLY=OFF -DENABLE_LIBNUMA=OFF -DCMAKE_C_FLAGS="$threads" -DCMAKE_CXX_FLAGS="$threads"
  # No embind bindings of libheif's own (the modules export ours); its locks
  # on, for the threaded modules' tile workers. Built three times: with
  # HEVC's decoder alone, for size (but its colour conversion, image planes
  # and libde265 glue) and without the uncompressed codec (the package
  # takes a larger module for such photos); with dav1d and libaom as well
  # into avif/; and with dav1d and x265 as well into heic/.
  local heif=(-DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DWITH_EXAMPLES=OFF
    -DWITH_GDK_PIXBUF=OFF -DENABLE_PLUGIN_LOADING=OFF -DWITH_LIBSHARPYUV=OFF
    -DENABLE_MULTITHREADING_SUPPORT=ON -DENABLE_PARALLEL_TILE_DECODING=OFF
    -DWITH_LIBDE265=ON -DWITH_LIBDE265_PLUGIN=OFF -DWITH_KVAZAAR=OFF -DWITH_AOM_DECODER=OFF
    -DWITH_DAV1D_PLUGIN=OFF
    -DWITH_RAV1E=OFF -DWITH_SvtEnc=OFF -DWITH_OpenH264_DECODER=OFF -DWITH_JPEG_DECODER=OFF
    -DWITH_JPEG_ENCODER=OFF -DWITH_OpenJPEG_DECODER=OFF -DWITH_OpenJPEG_ENCODER=OFF
    -DWITH_FFMPEG_DECODER=OFF -DWITH_OPENJPH_ENCODER=OFF
    -DCMAKE_C_FLAGS="-D__EMSCRIPTEN_STANDALONE_WASM__=1 $threads"
    -DCMAKE_CXX_FLAGS="-D__EMSCRIPTEN_STANDALONE_WASM__=1 $threads")
  local fast=(color-conversion/{alpha,chroma_sampling,colorconversion,hdr_sdr,monochrome,rgb2rgb,rgb2yuv,yuv2rgb}.cc
    pixelimage.cc plugins/decoder_libde265.cc)
  timed libheif cmake_dep libheif "$s/libheif" "${heif[@]}" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DLUMETRA_FAST_SOURCES="$(IFS=';'; echo "${fast[*]}")" -DWITH_UNCOMPRESSED_CODEC=OFF \
    -DWITH_DAV1D=OFF -DWITH_AOM_ENCODER=OFF -DWITH_X265=OFF
  install_prefix=$prefix/avif timed libheif-avif cmake_dep libheif-avif "$s/libheif" "${heif[@]}" \
    -DWITH_UNCOMPRESSED_CODEC=ON -DWITH_DAV1D=ON -DWITH_AOM_ENCODER=ON -DWITH_AOM_ENCODER_PLUGIN=OFF -DWITH_X265=OFF
  install_prefix=$prefix/heic timed libheif-heic cmake_dep libheif-heic "$s/libheif" "${heif[@]}" \
    -DWITH_UNCOMPRESSED_CODEC=ON -DWITH_DAV1D=ON -DWITH_AOM_ENCODER=OFF -DWITH_X265=ON -DWITH_X265_PLUGIN=OFF
  rm -rf "$cache/build" "$cache/sources"
  touch "$prefix/.complete"
  echo "build-wasm: dependencies built in $((SECONDS - start)) s (${times[*]})"
}
if [ -f "$prefix/.complete" ]; then
  echo "build-wasm: dependencies from the cache ($prefix)"
else
  rm -rf "$prefix"
  mkdir -p "$prefix"
  build_dependencies
fi
[ "${1:-}" != --dependencies-only ] || exit 0

# ---- the module ----
build=$root/build-wasm
# A build configured against other dependencies would keep linking those.
if [ "$(cat "$build/.dependencies" 2>/dev/null)" != "$prefix" ]; then
  rm -rf "$build"
  mkdir -p "$build"
  echo "$prefix" >"$build/.dependencies"
fi
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_ROOT_PATH="$prefix" \
  -DLUMETRA_BUILD_TESTS=OFF -DLUMETRA_BUILD_TOOL=OFF -DLUMETRA_WASM_ONE_THREAD_PNG="$prefix/one-thread/lib/libpng16.a" \
  -DLUMETRA_WASM_AVIF_LIBHEIF="$prefix/avif/lib/libheif.a" -DLUMETRA_WASM_HEIC_LIBHEIF="$prefix/heic/lib/libheif.a" >/dev/null
nice -n 10 cmake --build "$build" -j "$jobs" --target lumetra_wasm lumetra_wasm_mt lumetra_wasm_avif lumetra_wasm_heic_mt

# ---- the npm package: js/ around the module ----
version=$(sed -n 's/^project(morvanta-lumetra VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$build/npm
rm -rf "$stage"
mkdir -p "$stage"
cp js/index.js js/core.js js/worker.js js/index.d.ts js/README.md "$build"/lumetra{,-mt,-avif,-heic-mt}.{js,wasm} \
  "$build"/lumetra{,-heic}-mt.worker.js "$stage/"
# The threaded modules' thread script is CommonJS, which Node reads from a
# .js file only outside an ES module package: Node is given a .cjs copy.
for module in lumetra-mt lumetra-heic-mt; do cp "$stage/$module.worker.js" "$stage/$module.worker.cjs"; done
sed "s/@VERSION@/$version/" js/package.json >"$stage/package.json"
rm -f "$build"/lumetra-*.tgz
tarball=$(cd "$stage" && npm pack --pack-destination "$build" 2>/dev/null | tail -1)
[ -f "$build/$tarball" ] || fail "npm pack made no tarball"

# ---- the page of web/ around the staged package, and its test's tools ----
# The package stands without them: where they cannot be had, the page's
# browser test fails and says so.
scripts/build-web.sh >/dev/null || echo "build-wasm: the page of web/ or its test's tools could not be made" >&2
echo "$build/$tarball"
