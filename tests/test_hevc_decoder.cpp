// FFmpeg's HEVC decoder against libde265 over the corpus: the same planes,
// libde265 taking over where FFmpeg fails, the same JPEG from the whole call
// with either, and 4:2:2 never handed to FFmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "base/libheif_setup.h"
#include "fixtures.h"
#include "heif/hevc_decoder.h"
#include "internal.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

const std::string kCorpus = LUMETRA_CORPUS;

bool large(const std::string& name) {
  return std::getenv("LUMETRA_HEAVY_CORPUS") == nullptr && name.find("grid200mp") != std::string::npos;
}

struct Planes {
  bool ok = false;
  std::vector<Bytes> planes;
};

Planes planes_of(heif_image* img) {
  Planes p;
  if (img == nullptr) return p;
  for (const heif_channel c :
       {heif_channel_Y, heif_channel_Cb, heif_channel_Cr, heif_channel_Alpha, heif_channel_interleaved}) {
    if (!heif_image_has_channel(img, c)) continue;
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(img, c, &stride);
    const int w = heif_image_get_width(img, c), h = heif_image_get_height(img, c);
    const size_t row = size_t(w) * ((heif_image_get_bits_per_pixel(img, c) + 7) / 8);
    Bytes plane;
    for (int y = 0; y < h; ++y) plane.insert(plane.end(), data + size_t(y) * stride, data + size_t(y) * stride + row);
    p.planes.push_back(plane);
  }
  heif_image_release(img);
  p.ok = true;
  return p;
}

Planes decode_native(heif_image_handle* h, const char* decoder) {
  heif_decoding_options* options = heif_decoding_options_alloc();
  options->decoder_id = decoder;
  heif_image* img = nullptr;
  const heif_error err = heif_decode_image(h, &img, heif_colorspace_undefined, heif_chroma_undefined, options);
  heif_decoding_options_free(options);
  return err.code == heif_error_Ok ? planes_of(img) : Planes{};
}

TEST(Corpus, FfmpegGivesLibde265sPixelsAndLibde265TakesOverWhereItFails) {
  heif_context* probe = new_heif_context();
  heif_context_free(probe);
  const heif_decoder_descriptor* d[16];
  const int n = heif_get_decoder_descriptors(heif_compression_HEVC, d, 16);
  bool ffmpeg = false, de265 = false;
  for (int i = 0; i < n; ++i) {
    ffmpeg |= std::strcmp(heif_decoder_descriptor_get_id_name(d[i]), "ffmpeg") == 0;
    de265 |= std::strcmp(heif_decoder_descriptor_get_id_name(d[i]), "libde265") == 0;
  }
  if (!ffmpeg || !de265) GTEST_SKIP() << "FFmpeg's or libde265's libheif plugin is not installed";
  const fs::path dir = fs::path(kCorpus) / "heif";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no corpus at " << kCorpus;
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && !large(e.path().filename().string())) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());

  // FFmpeg's planes are libde265's; where it fails, the library's choice
  // (FFmpeg first) still gives libde265's.
  int identical = 0, taken_over = 0;
  std::string refused;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    heif_context* ctx = heif_context_alloc();
    heif_image_handle* h = nullptr;
    if (heif_context_read_from_file(ctx, f.c_str(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok) {
      const Planes reference = decode_native(h, "libde265");
      if (reference.ok) {
        const Planes fast = decode_native(h, "ffmpeg");
        if (fast.ok) {
          EXPECT_TRUE(fast.planes == reference.planes);
          ++identical;
        } else {
          refused += " " + fs::path(f).filename().string();
          heif_image* img = nullptr;
          EXPECT_EQ(decode_image_preferring(h, &img, heif_colorspace_undefined, heif_chroma_undefined, nullptr).code,
                    heif_error_Ok);
          const Planes ours = planes_of(img);
          EXPECT_TRUE(ours.ok && ours.planes == reference.planes);
          unsigned char* px = nullptr;
          int w = 0, hh = 0, ch = 0;
          EXPECT_EQ(decode_heic_pixels(f.c_str(), &px, &w, &hh, &ch), 1) << lumetra_last_error();
          std::free(px);
          ++taken_over;
        }
      }
    }
    if (h != nullptr) heif_image_handle_release(h);
    heif_context_free(ctx);
  }
  std::printf("hevc decoders: %d files identical; FFmpeg refused, libde265 decoded:%s\n", identical, refused.c_str());
  EXPECT_GE(identical, 20);
  EXPECT_NE(refused.find("camera-canonR5-10bit-422"), std::string::npos);
}

// The whole call with each decoder (the tool with libheif's own plugin
// directory, so FFmpeg is loaded and serves every size; then
// LUMETRA_HEVC_DECODER forcing libde265): the same JPEG, streamed or not,
// and the 4:2:2 file decodes.
TEST(Corpus, SameJpegWithEitherDecoder) {
#ifdef _WIN32
  GTEST_SKIP() << "no decoder plugins in the Windows build";
#else
  const char* names[] = {"grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic",
                         "grid16mp-nokia8.3-nothumb-nclx-exifII-nomake.heif",
                         "grid5mp-xiaomi-nothumb-bigexif-exifII.heic", "camera-canonR5-10bit-422-grid-thumb-exifII.hif",
                         "clap-rainbow-451x461-icc-xmp.heic"};
  int compared = 0;
  for (const char* name : names) {
    const std::string in = kCorpus + "/heif/" + name;
    if (!file_exists(in)) continue;
    SCOPED_TRACE(name);
    for (const char* ext : {".jpg", ".png"}) {
      const std::string a = scratch_path(std::string("either-ffmpeg") + ext);
      const std::string b = scratch_path(std::string("either-de265") + ext);
      ASSERT_EQ(std::system(("LIBHEIF_PLUGIN_PATH='" + std::string(LUMETRA_LIBHEIF_PLUGINS) + "' " + LUMETRA_CLI +
                             " convert '" + in + "' " + a + " 2>/dev/null")
                                .c_str()),
                0);
      ASSERT_EQ(
          std::system(
              ("LUMETRA_HEVC_DECODER=libde265 " + std::string(LUMETRA_CLI) + " convert '" + in + "' " + b).c_str()),
          0);
      EXPECT_TRUE(read_file(a) == read_file(b));
      ++compared;
    }
  }
  if (compared == 0) GTEST_SKIP() << "no corpus at " << kCorpus;
#endif
}

TEST(Corpus, FourTwoTwoNeverGoesToFfmpeg) {
  const std::string f = kCorpus + "/heif/camera-canonR5-10bit-422-grid-thumb-exifII.hif";
  if (!file_exists(f)) GTEST_SKIP() << "no corpus file " << f;
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  ASSERT_TRUE(open_primary_image(f.c_str(), &file, &ctx, &handle));
  EXPECT_EQ(preferred_decoder_for(handle.get()), nullptr);
}

}  // namespace
