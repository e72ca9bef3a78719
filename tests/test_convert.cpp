// The library frame, decoding and conversion to JPEG, PNG and BMP; the
// libheif the build runs against.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include <libheif/heif.h>
#include <stb/stb_image_write.h>

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"

namespace {

std::string rgb_heif() { return heif_fixture("rgb.heic", HeifRecipe{}); }

std::string rgba_heif() {
  HeifRecipe s;
  s.alpha = true;
  return heif_fixture("rgba.heic", s);
}

std::string last_error() { return lumetra_last_error(); }

// A test name from any text: letters and digits kept, the rest "_".
std::string name_chars(std::string s) {
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

}  // namespace

TEST(Frame, BuffersAndLifecycle) {
  ASSERT_NE(lumetra_last_error(), nullptr);
  EXPECT_EQ(lumetra_init(), 1);
  EXPECT_STREQ(lumetra_last_error(), "");

  const char* info = lumetra_info(rgb_heif().c_str());
  ASSERT_NE(info, nullptr);
  const std::string report = info;

  // A failure's message survives lumetra_is_heic and lumetra_last_error.
  EXPECT_EQ(lumetra_to_png("/nonexistent/in.heic", scratch_path("x.png").c_str()), 0);
  const std::string message = last_error();
  EXPECT_FALSE(message.empty());
  lumetra_is_heic(rgb_heif().c_str());
  lumetra_is_heic(nullptr);
  EXPECT_EQ(last_error(), message);

  // init empties the last error only; the report stays readable.
  EXPECT_EQ(lumetra_init(), 1);
  EXPECT_EQ(lumetra_init(), 1);
  EXPECT_STREQ(lumetra_last_error(), "");
  EXPECT_EQ(std::string(info), report);

  // A failed info keeps the earlier report behind the same pointer.
  EXPECT_EQ(lumetra_info("/nonexistent.heic"), nullptr);
  EXPECT_EQ(std::string(info), report);

  // cleanup empties all three buffers; everything stays usable.
  const char* exif = lumetra_exif(rgb_heif().c_str());
  ASSERT_NE(exif, nullptr);
  EXPECT_EQ(lumetra_to_png("/nonexistent/in.heic", scratch_path("x.png").c_str()), 0);
  lumetra_cleanup();
  EXPECT_STREQ(lumetra_last_error(), "");
  EXPECT_STREQ(info, "");
  EXPECT_STREQ(exif, "");
  EXPECT_EQ(lumetra_info(rgb_heif().c_str()), info);
  EXPECT_EQ(std::string(info), report);
}

TEST(Convert, PngMatchesLibheifDecodeExactly) {
  for (const bool alpha : {false, true}) {
    for (const auto& size : {std::pair<int, int>{1, 1}, {3, 5}, {64, 48}}) {
      HeifRecipe s;
      s.alpha = alpha;
      s.width = size.first;
      s.height = size.second;
      const std::string name =
          "px" + std::to_string(alpha) + "_" + std::to_string(s.width) + "x" + std::to_string(s.height) + ".heic";
      const std::string in = heif_fixture(name, s);
      const std::string out = scratch_path(name + ".png");
      ASSERT_EQ(lumetra_to_png(in.c_str(), out.c_str()), 1) << lumetra_last_error();
      EXPECT_STREQ(lumetra_last_error(), "");
      const Raster ours = stb_load(out);
      const Raster ref = libheif_decode(in, alpha);
      EXPECT_EQ(ours.channels, alpha ? 4 : 3);
      EXPECT_EQ(ours.width, ref.width);
      EXPECT_EQ(ours.height, ref.height);
      EXPECT_TRUE(ours.pixels == ref.pixels) << name;
    }
  }
}

TEST(Convert, PaddedStrideIsPacked) {
  // libheif pads short rows; make sure this fixture really has padding.
  HeifRecipe s;
  s.width = 3;
  s.height = 5;
  const std::string in = heif_fixture("stride.heic", s);
  heif_context* ctx = heif_context_alloc();
  ASSERT_EQ(heif_context_read_from_file(ctx, in.c_str(), nullptr).code, heif_error_Ok);
  heif_image_handle* h = nullptr;
  heif_context_get_primary_image_handle(ctx, &h);
  heif_image* img = nullptr;
  heif_decode_image(h, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
  int stride = 0;
  heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
  heif_image_release(img);
  heif_image_handle_release(h);
  heif_context_free(ctx);
  ASSERT_GT(stride, 3 * 3);

  unsigned char* px = nullptr;
  int w = 0, hh = 0, ch = 0;
  ASSERT_EQ(decode_heic_pixels(in.c_str(), &px, &w, &hh, &ch), 1);
  const Raster ref = libheif_decode(in, false);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(hh, 5);
  EXPECT_EQ(ch, 3);
  EXPECT_EQ(0, std::memcmp(px, ref.pixels.data(), ref.pixels.size()));
  std::free(px);
}

TEST(Convert, ShortStrideIsRefused) {
  unsigned char plane[64] = {0};
  unsigned char dst[64];
  EXPECT_FALSE(copy_plane_rows(dst, plane, 8, 9, 2));
  EXPECT_FALSE(copy_plane_rows(dst, plane, -16, 9, 2));
  EXPECT_TRUE(copy_plane_rows(dst, plane, 9, 9, 2));
}

// A requested JPEG quality and the one libjpeg is given.
struct QualityCase {
  int requested, effective;
};

// How gtest names the case in its messages.
void PrintTo(const QualityCase& c, std::ostream* os) { *os << "quality " << c.requested; }

class JpegQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(JpegQuality, ClampIsByteIdentical) {
  const QualityCase& c = GetParam();
  const std::string in = rgb_heif();
  unsigned char* px = nullptr;
  int w = 0, h = 0, ch = 0;
  ASSERT_EQ(decode_heic_pixels(in.c_str(), &px, &w, &h, &ch), 1);
  const std::string ours = scratch_path("q" + std::to_string(c.requested) + ".jpg");
  const std::string ref = scratch_path("ref" + std::to_string(c.effective) + ".jpg");
  ASSERT_EQ(lumetra_to_jpg(in.c_str(), ours.c_str(), c.requested), 1);
  ASSERT_NE(stbi_write_jpg(ref.c_str(), w, h, ch, px, c.effective), 0);
  std::free(px);
  EXPECT_TRUE(read_file(ours) == read_file(ref));
}

INSTANTIATE_TEST_SUITE_P(Convert, JpegQuality,
                         ::testing::Values(QualityCase{0, 90}, QualityCase{-5, 90}, QualityCase{1, 1},
                                           QualityCase{55, 55}, QualityCase{100, 100}, QualityCase{101, 100},
                                           QualityCase{1000, 100}),
                         [](const ::testing::TestParamInfo<QualityCase>& info) {
                           const int q = info.param.requested;
                           return (q < 0 ? "minus" + std::to_string(-q) : std::to_string(q)) + "_is_" +
                                  std::to_string(info.param.effective);
                         });

// lumetra_to_image writes JPEG at 90.
TEST(Convert, ToImageWritesJpegAt90) {
  const std::string in = rgb_heif();
  unsigned char* px = nullptr;
  int w = 0, h = 0, ch = 0;
  ASSERT_EQ(decode_heic_pixels(in.c_str(), &px, &w, &h, &ch), 1);
  const std::string ref = scratch_path("ref90.jpg");
  ASSERT_NE(stbi_write_jpg(ref.c_str(), w, h, ch, px, 90), 0);
  std::free(px);
  const std::string by_ext = scratch_path("by_ext.JPeG");
  ASSERT_EQ(lumetra_to_image(in.c_str(), by_ext.c_str()), 1);
  EXPECT_TRUE(read_file(by_ext) == read_file(ref));
}

// An output path and the format its extension picks.
struct ExtensionCase {
  const char* path;
  OutputFormat format;
};

// How gtest names the case in its messages.
void PrintTo(const ExtensionCase& c, std::ostream* os) { *os << '"' << c.path << '"'; }

class OutputExtension : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(OutputExtension, PicksTheFormat) { EXPECT_EQ(output_format_for(GetParam().path), GetParam().format); }

INSTANTIATE_TEST_SUITE_P(
    Convert, OutputExtension,
    ::testing::Values(ExtensionCase{"a.jpg", OutputFormat::Jpeg}, ExtensionCase{"a.JPG", OutputFormat::Jpeg},
                      ExtensionCase{"a.Jpeg", OutputFormat::Jpeg}, ExtensionCase{"a.jpeg", OutputFormat::Jpeg},
                      ExtensionCase{"a.PNG", OutputFormat::Png}, ExtensionCase{"a.Bmp", OutputFormat::Bmp},
                      ExtensionCase{"a.gif", OutputFormat::Png}, ExtensionCase{"a.heic", OutputFormat::Png},
                      ExtensionCase{"a.jpg2", OutputFormat::Png}, ExtensionCase{"noext", OutputFormat::Png},
                      ExtensionCase{"trailing.", OutputFormat::Png}, ExtensionCase{".bmp", OutputFormat::Png},
                      ExtensionCase{"dir/.jpg", OutputFormat::Jpeg},
                      ExtensionCase{"photos.2024/out", OutputFormat::Png}, ExtensionCase{"a.b.bmp", OutputFormat::Bmp},
                      ExtensionCase{"", OutputFormat::Png}, ExtensionCase{"x.xjpg", OutputFormat::Png}),
    [](const ::testing::TestParamInfo<ExtensionCase>& info) {
      return info.param.path[0] ? name_chars(info.param.path) : std::string("empty");
    });

TEST(Convert, ExtensionEndsCaseBlind) {
  EXPECT_EQ(str_ends_with_nocase("anything", ""), 1);
  EXPECT_EQ(str_ends_with_nocase("", ".jpg"), 0);
  EXPECT_EQ(str_ends_with_nocase(".JPEG", ".jpeg"), 1);
  EXPECT_EQ(str_ends_with_nocase(".jpg", ".jpeg"), 0);
}

TEST(Convert, WritesEachFormatWithAlpha) {
  const std::string in = rgba_heif();
  const std::string png = scratch_path("alpha.png"), bmp = scratch_path("alpha.bmp"), jpg = scratch_path("alpha.jpg");
  ASSERT_EQ(lumetra_to_image(in.c_str(), png.c_str()), 1);
  ASSERT_EQ(lumetra_to_image(in.c_str(), bmp.c_str()), 1);
  ASSERT_EQ(lumetra_to_image(in.c_str(), jpg.c_str()), 1);
  EXPECT_EQ(stb_load(png).channels, 4);
  EXPECT_EQ(stb_load(bmp).channels, 4);  // 32-bit BMP with alpha mask
  const Bytes b = read_file(bmp);
  ASSERT_GT(b.size(), 30u);
  EXPECT_EQ(b[0], 'B');
  EXPECT_EQ(b[28], 32);  // bits per pixel
  const Bytes j = read_file(jpg);
  ASSERT_GT(j.size(), 2u);
  EXPECT_EQ(j[0], 0xFF);
  EXPECT_EQ(j[1], 0xD8);
  const Raster ref = libheif_decode(in, true);
  EXPECT_TRUE(stb_load(png).pixels == ref.pixels);
}

TEST(Convert, FailuresReportAndLeaveFilesAlone) {
  const std::string out = scratch_path("keep.png");
  write_file(out, Bytes{'k', 'e', 'e', 'p'});

  EXPECT_EQ(lumetra_to_jpg(nullptr, out.c_str(), 90), 0);
  EXPECT_EQ(last_error(), "Invalid arguments to lumetra_to_jpg");
  EXPECT_EQ(lumetra_to_png(rgb_heif().c_str(), nullptr), 0);
  EXPECT_EQ(last_error(), "Invalid arguments to lumetra_to_png");
  EXPECT_EQ(lumetra_to_bmp(nullptr, nullptr), 0);
  EXPECT_EQ(last_error(), "Invalid arguments to lumetra_to_bmp");
  EXPECT_EQ(lumetra_to_image(nullptr, out.c_str()), 0);
  EXPECT_EQ(last_error(), "Invalid arguments to lumetra_to_image");

  // Missing input: libheif's message after the path; output untouched.
  EXPECT_EQ(lumetra_to_png("/nonexistent/a.heic", out.c_str()), 0);
  EXPECT_EQ(last_error().rfind("Failed to read HEIC file '/nonexistent/a.heic': Input file does not exist", 0), 0u)
      << last_error();
  EXPECT_EQ(lumetra_to_png("", out.c_str()), 0);
  EXPECT_EQ(last_error().rfind("Failed to read HEIC file '': ", 0), 0u);

  // Not HEIF, and truncated HEIF.
  const std::string text = scratch_path("text.heic");
  write_file(text, Bytes(100, 'a'));
  EXPECT_EQ(lumetra_to_jpg(text.c_str(), out.c_str(), 90), 0);
  // libheif's own text follows the path (1.19 adds a detail after the sub-error).
  EXPECT_EQ(last_error(), "Failed to read HEIC file '" + text +
                              "': Invalid input: No 'ftyp' box: File does not start with 'ftyp' box.");
  Bytes whole = read_file(rgb_heif());
  for (const size_t cut : {whole.size() / 4, whole.size() / 2, whole.size() - 10}) {
    const std::string truncated = scratch_path("truncated.heic");
    write_file(truncated, Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    EXPECT_EQ(lumetra_to_png(truncated.c_str(), out.c_str()), 0) << cut;
    EXPECT_FALSE(last_error().empty());
  }
  EXPECT_TRUE(read_file(out) == (Bytes{'k', 'e', 'e', 'p'}));

  // Writer failures.
  EXPECT_EQ(lumetra_to_png(rgb_heif().c_str(), "/nonexistent/dir/out.png"), 0);
  EXPECT_EQ(last_error(), "Failed writing PNG output file");
  EXPECT_EQ(lumetra_to_image(rgb_heif().c_str(), ""), 0);
  EXPECT_EQ(last_error(), "Failed writing PNG output file");
  EXPECT_EQ(lumetra_to_jpg(rgb_heif().c_str(), "/nonexistent/dir/out.jpg", 90), 0);
  EXPECT_EQ(last_error(), "Failed writing JPEG output file");
  EXPECT_EQ(lumetra_to_bmp(rgb_heif().c_str(), "/nonexistent/dir/out.bmp"), 0);
  EXPECT_EQ(last_error(), "Failed writing BMP output file");

  // Success empties an earlier message.
  EXPECT_EQ(lumetra_to_bmp(rgb_heif().c_str(), scratch_path("ok.bmp").c_str()), 1);
  EXPECT_STREQ(lumetra_last_error(), "");
}

TEST(Convert, LongPathMessageIsCutAt255) {
  const std::string longpath = "/nonexistent/" + std::string(400, 'p') + ".heic";
  EXPECT_EQ(lumetra_to_png(longpath.c_str(), scratch_path("never.png").c_str()), 0);
  const std::string expect = ("Failed to read HEIC file '" + longpath).substr(0, 255);
  EXPECT_EQ(last_error(), expect);
}

TEST(Convert, UndecodableCodec) {
  // libheif reads the container but has no decoder for the item.
  Bytes b = read_file(rgb_heif());
  ASSERT_TRUE(rename_coded_item_type(&b));
  const std::string path = scratch_path("avc.heic");
  write_file(path, b);
  EXPECT_EQ(lumetra_to_png(path.c_str(), scratch_path("avc.png").c_str()), 0);
  EXPECT_FALSE(file_exists(scratch_path("avc.png")));
  EXPECT_FALSE(last_error().empty());
  std::printf("undecodable codec: %s\n", lumetra_last_error());
}

// Images libheif writes with a clean aperture (odd sizes) and irot/imir from
// an EXIF orientation: the output is the source turned the EXIF way,
// whatever combination the file holds.
struct OrientedCase {
  int w, h, orientation;
  bool alpha;
};

// How gtest names the case in its messages.
void PrintTo(const OrientedCase& c, std::ostream* os) {
  *os << c.w << "x" << c.h << " orientation " << c.orientation << (c.alpha ? " alpha" : "");
}

class UprightOutput : public ::testing::TestWithParam<OrientedCase> {};

TEST_P(UprightOutput, CroppedTurnedAndMirroredImagesComeOutUpright) {
  const OrientedCase& c = GetParam();
  const int W = c.w, H = c.h;
  auto source = [W, H](int x, int y, int ch) -> uint8_t {
    switch (ch) {
      case 0: return static_cast<uint8_t>(x * 255 / W);
      case 1: return static_cast<uint8_t>(y * 255 / H);
      case 2: return static_cast<uint8_t>(40 + (x < W / 3 ? 150 : 0));
      default: return static_cast<uint8_t>(y < H / 4 ? 90 : 250);
    }
  };
  HeifRecipe s;
  s.width = W, s.height = H, s.alpha = c.alpha, s.orientation = c.orientation, s.pixel = source;
  const std::string in = scratch_path("oriented.heic"), png = scratch_path("oriented.png");
  write_heif(in, s);

  Raster stored;
  stored.width = W, stored.height = H, stored.channels = c.alpha ? 4 : 3;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int ch = 0; ch < stored.channels; ++ch) stored.pixels.push_back(source(x, y, ch));
  const Raster expected = exif_oriented(stored, c.orientation);

  ASSERT_EQ(lumetra_to_png(in.c_str(), png.c_str()), 1) << last_error();
  const Raster got = stb_load(png);
  ASSERT_EQ(got.width, expected.width);
  ASSERT_EQ(got.height, expected.height);
  EXPECT_GT(psnr(got, expected), 25.0);  // a wrong turn or flip scores far below 20

  // libheif's own idea of the displayed size agrees.
  const char* info = lumetra_info(in.c_str());
  ASSERT_NE(info, nullptr);
  EXPECT_NE(std::string(info).find("{\"width\":" + std::to_string(expected.width) +
                                   ",\"height\":" + std::to_string(expected.height) + ","),
            std::string::npos)
      << info;

  // The thumbnail path (no embedded thumbnail here) decodes the same way.
  ASSERT_EQ(lumetra_thumbnail(in.c_str(), png.c_str()), 1) << last_error();
  int tw = 0, th = 0;
  thumbnail_size(expected.width, expected.height, &tw, &th);
  const Raster t = stb_load(png);
  EXPECT_EQ(t.width, tw);
  EXPECT_EQ(t.height, th);
}

INSTANTIATE_TEST_SUITE_P(Convert, UprightOutput,
                         ::testing::Values(OrientedCase{321, 320, 1, false}, OrientedCase{321, 320, 2, false},
                                           OrientedCase{321, 320, 3, true}, OrientedCase{321, 320, 4, false},
                                           OrientedCase{321, 320, 5, false}, OrientedCase{321, 320, 6, false},
                                           OrientedCase{321, 320, 7, true}, OrientedCase{321, 320, 8, false},
                                           OrientedCase{320, 321, 6, false}, OrientedCase{65, 34, 8, true},
                                           OrientedCase{33, 17, 5, false}, OrientedCase{64, 48, 6, false}),
                         [](const ::testing::TestParamInfo<OrientedCase>& info) {
                           const OrientedCase& c = info.param;
                           return std::to_string(c.w) + "x" + std::to_string(c.h) + "_orientation" +
                                  std::to_string(c.orientation) + (c.alpha ? "_alpha" : "");
                         });

TEST(Build, LibheifIsNewEnough) {
  // 1.19.7 (0x01130700) or newer, both the headers built against and the
  // library loaded.
  EXPECT_GE(LIBHEIF_NUMERIC_VERSION, 0x01130700);
  EXPECT_GE(heif_get_version_number(), 0x01130700u) << heif_get_version();
}
