// The faithful encoder's own choices: the quality a source deserves, read
// from a JPEG's tables; 16-bit sources kept at 10 bits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>

#include <libheif/heif.h>

#include "fixtures.h"
#include "formats/jpeg_quality.h"
#include "formats/jpeg_writer.h"
#include "formats/png_writer.h"
#include "heif/encode_settings.h"
#include "lumetra.h"

namespace {

// A photo-like picture: smooth shading with some fine detail, so the
// encoder has something to lose.
uint8_t textured(int x, int y, int c) { return uint8_t(40 + x + y / 2 + c * 30 + ((x / 3 + y / 5 + c) % 4) * 3); }

// libjpeg-turbo writes the file at a known quality.
std::string libjpeg_file(const std::string& name, int quality) {
  const int w = 96, h = 64;
  Bytes px(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) px[(size_t(y) * w + x) * 3 + c] = textured(x, y, c);
  const std::string path = scratch_path(name);
  FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_TRUE(write_jpeg_stream(f, PixelRows{px.data(), size_t(w) * 3, w, h, 3, 8}, quality, PictureMetadata{}));
  std::fclose(f);
  return path;
}

}  // namespace

TEST(EncodeSettings, JpegQualityReadFromItsTables) {
  for (int quality : {10, 30, 50, 68, 75, 85, 90, 95}) {
    const Bytes jpeg = read_file(libjpeg_file("q" + std::to_string(quality) + ".jpg", quality));
    EXPECT_EQ(estimate_jpeg_quality(jpeg.data(), jpeg.size()), quality);
  }
  const Bytes png = read_file(scratch_path("q10.jpg"));
  EXPECT_EQ(estimate_jpeg_quality(png.data(), 20), 0);  // cut before its tables
  EXPECT_EQ(estimate_jpeg_quality(nullptr, 0), 0);
}

// A source JPEG's quality, the codec, the HEIF quality its tables give,
// and how close libheif's decode of the result stays to the source.
struct SourceQualityCase {
  int jpeg_quality;
  bool av1;
  int heif_quality;
  double min_psnr;
};

void PrintTo(const SourceQualityCase& c, std::ostream* os) {
  *os << "JPEG quality " << c.jpeg_quality << (c.av1 ? " to AVIF" : " to HEIC");
}

class DefaultQuality : public ::testing::TestWithParam<SourceQualityCase> {};

// Quality 0 is the table's choice: the same bytes as asking for it, and
// the picture libheif reads back stays close to the source's own pixels.
TEST_P(DefaultQuality, FollowsTheSource) {
  const SourceQualityCase& c = GetParam();
  if (!libheif_encodes(c.av1, 8)) GTEST_SKIP() << "no AV1 encoder in this libheif";  // the Windows build
  const std::string src = libjpeg_file("src" + std::to_string(c.jpeg_quality) + ".jpg", c.jpeg_quality);
  const std::string name = std::to_string(c.jpeg_quality) + (c.av1 ? ".avif" : ".heic");
  const std::string chosen = scratch_path("chosen" + name), asked = scratch_path("asked" + name);
  ASSERT_EQ(lumetra_convert(src.c_str(), chosen.c_str(), 0, 0), 1) << lumetra_last_error();
  ASSERT_EQ(lumetra_convert(src.c_str(), asked.c_str(), c.heif_quality, 0), 1) << lumetra_last_error();
  EXPECT_TRUE(read_file(chosen) == read_file(asked));
  EXPECT_GE(psnr(libheif_decode(chosen, false), stb_load(src)), c.min_psnr);
}

INSTANTIATE_TEST_SUITE_P(
    EncodeSettings, DefaultQuality,
    ::testing::Values(SourceQualityCase{95, false, 62, 43.0}, SourceQualityCase{90, false, 60, 42.0},
                      SourceQualityCase{75, false, 50, 38.0}, SourceQualityCase{90, true, 82, 42.0}),
    [](const ::testing::TestParamInfo<SourceQualityCase>& info) {
      return "jpeg" + std::to_string(info.param.jpeg_quality) + (info.param.av1 ? "_to_avif" : "_to_heic");
    });

TEST(EncodeSettings, SixteenBitSourceKeepsTenBits) {
  if (!libheif_encodes(false, 10)) GTEST_SKIP() << "no 10-bit HEVC encoder";
  // A smooth 16-bit ramp whose low 6 bits vary too, written by libpng.
  const int w = 128, h = 32;
  Bytes px(size_t(w) * h * 6);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const unsigned v = unsigned(x * 400 + y * 37 + c * 1500);
        px[(size_t(y) * w + x) * 6 + 2 * c] = uint8_t(v >> 8);  // PNG rows are big-endian
        px[(size_t(y) * w + x) * 6 + 2 * c + 1] = uint8_t(v);
      }
  const std::string src = scratch_path("ramp16.png"), out = scratch_path("ramp16.heic");
  FILE* f = std::fopen(src.c_str(), "wb");
  ASSERT_TRUE(write_png_stream(f, PixelRows{px.data(), size_t(w) * 6, w, h, 3, 16}, PictureMetadata{}));
  std::fclose(f);
  ASSERT_EQ(lumetra_convert(src.c_str(), out.c_str(), 90, LUMETRA_KEEP_DEPTH), 1) << lumetra_last_error();

  heif_context* ctx = heif_context_alloc();
  ASSERT_EQ(heif_context_read_from_file(ctx, out.c_str(), nullptr).code, heif_error_Ok);
  heif_image_handle* handle = nullptr;
  heif_context_get_primary_image_handle(ctx, &handle);
  EXPECT_EQ(heif_image_handle_get_luma_bits_per_pixel(handle), 10);
  heif_image* image = nullptr;
  ASSERT_EQ(heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RRGGBB_BE, nullptr).code,
            heif_error_Ok);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  long total = 0, worst = 0;
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < w * 3; ++i) {
      const long got = plane[size_t(y) * stride + 2 * i] << 8 | plane[size_t(y) * stride + 2 * i + 1];
      const long want = (long(px[size_t(y) * w * 6 + 2 * i]) << 8 | px[size_t(y) * w * 6 + 2 * i + 1]) >> 6;
      total += std::labs(got - want);
      worst = std::max(worst, std::labs(got - want));
    }
  EXPECT_LE(worst, 8);                          // a few 10-bit steps of codec error
  EXPECT_LT(double(total) / (w * h * 3), 1.0);  // where 8 bits would be off by 2 on average
  heif_image_release(image);
  heif_image_handle_release(handle);
  heif_context_free(ctx);
}
