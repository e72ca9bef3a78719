// Information report and thumbnails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <stb/stb_image_write.h>

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"

namespace {

std::string info_json(bool alpha, bool thumb, bool exif, int w = 64, int h = 48, int depth = 8, int images = 1) {
  return "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) +
         ",\"bit_depth\":" + std::to_string(depth) + ",\"has_alpha\":" + (alpha ? "true" : "false") +
         ",\"has_thumbnail\":" + (thumb ? "true" : "false") +
         ",\"color_space\":\"YCbCr\",\"exif\":" + (exif ? "true" : "false") +
         ",\"image_count\":" + std::to_string(images) + "}";
}

std::string info_of(const std::string& path) {
  const char* r = lumetra_info(path.c_str());
  return r != nullptr ? r : std::string("null: ") + lumetra_last_error();
}

uint8_t solid_red(int, int, int c) { return c == 0 ? 250 : (c == 3 ? 255 : 10); }
uint8_t solid_blue(int, int, int c) { return c == 2 ? 250 : (c == 3 ? 255 : 10); }

// Large flat blocks survive lossy coding, so sampled pixels can be
// compared with libheif's own decode exactly.
std::string sized(int w, int h) {
  HeifSpec s;
  s.width = w, s.height = h;
  s.pixel = [](int x, int y, int c) { return static_cast<uint8_t>(((x / 16) * 37 + (y / 16) * 91 + c * 50) & 0xFF); };
  return heif_fixture("sized" + std::to_string(w) + "x" + std::to_string(h) + ".heic", s);
}

}  // namespace

TEST(Info, ReportsExactly) {
  EXPECT_EQ(info_of(heif_fixture("rgb.heic", HeifSpec{})), info_json(false, false, false));
  HeifSpec alpha;
  alpha.alpha = true;
  EXPECT_EQ(info_of(heif_fixture("rgba.heic", alpha)), info_json(true, false, false));

  HeifSpec thumb;
  thumb.width = 200, thumb.height = 150, thumb.thumb_width = 40, thumb.thumb_height = 30;
  EXPECT_EQ(info_of(heif_fixture("thumb_small.heic", thumb)), info_json(false, true, false, 200, 150));

  HeifSpec exif;
  exif.exif = Bytes{0, 0, 0, 0, 0x49, 0x49, 0x2A, 0, 8, 0, 0, 0, 0, 0};
  EXPECT_EQ(info_of(heif_fixture("exif_info.heic", exif)), info_json(false, false, true));
  HeifSpec xmp;
  xmp.xmp = true;
  EXPECT_EQ(info_of(heif_fixture("xmp.heic", xmp)), info_json(false, false, false));

  HeifSpec two;
  two.extra_images = 1;
  EXPECT_EQ(info_of(heif_fixture("two.heic", two)), info_json(false, false, false, 64, 48, 8, 2));

  if (libheif_encodes(false, 10)) {
    HeifSpec ten;
    ten.bit_depth = 10;
    EXPECT_EQ(info_of(heif_fixture("ten.heic", ten)), info_json(false, false, false, 64, 48, 10));
  }
  EXPECT_STREQ(lumetra_last_error(), "");
}

TEST(Info, FailuresKeepThePreviousReport) {
  const char* r = lumetra_info(heif_fixture("rgb.heic", HeifSpec{}).c_str());
  ASSERT_NE(r, nullptr);
  const std::string before = r;
  EXPECT_EQ(lumetra_info(nullptr), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Invalid null file path for lumetra_info");
  EXPECT_EQ(lumetra_info(""), nullptr);
  EXPECT_STREQ(lumetra_last_error(), "Invalid null file path for lumetra_info");
  const std::string text = scratch_path("info.txt");
  write_file(text, Bytes(50, 'i'));
  EXPECT_EQ(lumetra_info(text.c_str()), nullptr);
  EXPECT_STREQ(lumetra_last_error(),  // libheif 1.19's text, detail included
               "Failed reading HEIC file for info: Invalid input: No 'ftyp' box: File does not start with 'ftyp' box.");
  EXPECT_EQ(lumetra_info("/nonexistent.heic"), nullptr);
  EXPECT_EQ(std::string(lumetra_last_error()).rfind("Failed reading HEIC file for info: Input file does not exist", 0),
            0u);
  EXPECT_EQ(std::string(r), before);
  // Pointer stability: a later success rewrites the same buffer.
  HeifSpec alpha;
  alpha.alpha = true;
  EXPECT_EQ(lumetra_info(heif_fixture("rgba.heic", alpha).c_str()), r);
  EXPECT_EQ(std::string(r), info_json(true, false, false));
}

TEST(Thumbnail, SizeRule) {
  const struct {
    int w, h, ow, oh;
  } cases[] = {{4032, 3024, 320, 240}, {3024, 4032, 240, 320}, {1000, 1000, 320, 320}, {321, 320, 320, 319},
               {320, 321, 319, 320},   {5000, 10, 320, 1},     {10, 5000, 1, 320},     {320, 320, 320, 320},
               {100, 20, 100, 20},     {640, 480, 320, 240}};
  for (const auto& c : cases) {
    int ow = 0, oh = 0;
    thumbnail_size(c.w, c.h, &ow, &oh);
    EXPECT_EQ(ow, c.ow) << c.w << "x" << c.h;
    EXPECT_EQ(oh, c.oh) << c.w << "x" << c.h;
  }
}

TEST(Thumbnail, NearestNeighbourIsExact) {
  for (const auto& size : {std::pair<int, int>{640, 480}, {321, 320}, {320, 321}, {320, 320}, {4096, 10}, {10, 4096}}) {
    const std::string in = sized(size.first, size.second);
    const std::string out = scratch_path("nn.png");
    ASSERT_EQ(lumetra_thumbnail(in.c_str(), out.c_str()), 1) << lumetra_last_error();
    EXPECT_STREQ(lumetra_last_error(), "");
    const Raster got = stb_load(out);
    const Raster src = libheif_decode(in, false);
    int ow = 0, oh = 0;
    thumbnail_size(src.width, src.height, &ow, &oh);
    ASSERT_EQ(got.width, ow);
    ASSERT_EQ(got.height, oh);
    ASSERT_EQ(got.channels, 3);
    int mismatches = 0;
    for (int y = 0; y < oh; ++y) {
      for (int x = 0; x < ow; ++x) {
        const size_t sx = size_t(x) * src.width / ow, sy = size_t(y) * src.height / oh;
        for (int c = 0; c < 3; ++c) {
          mismatches += got.pixels[(size_t(y) * ow + x) * 3 + c] != src.pixels[(sy * src.width + sx) * 3 + c];
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << size.first << "x" << size.second;
  }
}

TEST(Thumbnail, EmbeddedIsWrittenAtItsOwnSize) {
  // Primary blue, thumbnail red: the colour tells which one was decoded.
  HeifSpec s;
  s.width = 1000, s.height = 750;
  s.thumb_width = 201, s.thumb_height = 151;  // odd, and not the box's shape
  s.pixel = solid_blue;
  s.thumb_pixel = solid_red;
  const std::string in = heif_fixture("embedded.heic", s);
  const std::string out = scratch_path("embedded.png");
  ASSERT_EQ(lumetra_thumbnail(in.c_str(), out.c_str()), 1) << lumetra_last_error();
  const Raster got = stb_load(out);
  ASSERT_EQ(got.width, 201);
  ASSERT_EQ(got.height, 151);
  const size_t mid = (size_t(75) * 201 + 100) * 3;
  EXPECT_GT(got.pixels[mid], 200);     // red
  EXPECT_LT(got.pixels[mid + 2], 60);  // not blue
}

TEST(Thumbnail, FormatsAlphaAndQuality) {
  HeifSpec alpha;
  alpha.alpha = true;
  const std::string in = heif_fixture("rgba.heic", alpha);
  ASSERT_EQ(lumetra_thumbnail(in.c_str(), scratch_path("a.png").c_str()), 1);
  EXPECT_EQ(stb_load(scratch_path("a.png")).channels, 4);
  EXPECT_TRUE(stb_load(scratch_path("a.png")).pixels == libheif_decode(in, true).pixels);
  ASSERT_EQ(lumetra_thumbnail(in.c_str(), scratch_path("a.bmp").c_str()), 1);
  EXPECT_EQ(stb_load(scratch_path("a.bmp")).channels, 4);
  ASSERT_EQ(lumetra_thumbnail(in.c_str(), scratch_path("a_noext").c_str()), 1);
  EXPECT_EQ(read_file(scratch_path("a_noext"))[1], 'P');  // PNG signature

  // JPEG at quality 85, from the unscaled decode.
  const std::string rgb = heif_fixture("rgb.heic", HeifSpec{});
  const Raster ref = libheif_decode(rgb, false);
  const std::string ours = scratch_path("t.JPEG"), theirs = scratch_path("t85.jpg");
  ASSERT_EQ(lumetra_thumbnail(rgb.c_str(), ours.c_str()), 1);
  ASSERT_NE(stbi_write_jpg(theirs.c_str(), ref.width, ref.height, 3, ref.pixels.data(), 85), 0);
  EXPECT_TRUE(read_file(ours) == read_file(theirs));
}

TEST(Thumbnail, Failures) {
  EXPECT_EQ(lumetra_thumbnail(nullptr, "x.png"), 0);
  EXPECT_STREQ(lumetra_last_error(), "Invalid arguments to lumetra_thumbnail");
  EXPECT_EQ(lumetra_thumbnail("x.heic", nullptr), 0);
  EXPECT_STREQ(lumetra_last_error(), "Invalid arguments to lumetra_thumbnail");
  EXPECT_EQ(lumetra_thumbnail("", scratch_path("f.png").c_str()), 0);
  EXPECT_STREQ(lumetra_last_error(), "Failed reading HEIC file for thumbnail");
  const std::string rgb = heif_fixture("rgb.heic", HeifSpec{});
  EXPECT_EQ(lumetra_thumbnail(rgb.c_str(), "/nonexistent/dir/t.jpg"), 0);
  EXPECT_STREQ(lumetra_last_error(), "Failed writing thumbnail image output file");

  // Undecodable primary.
  Bytes b = read_file(rgb);
  ASSERT_TRUE(rename_coded_item_type(&b));
  write_file(scratch_path("undecodable.heic"), b);
  EXPECT_EQ(lumetra_thumbnail(scratch_path("undecodable.heic").c_str(), scratch_path("u.png").c_str()), 0);
  EXPECT_STREQ(lumetra_last_error(), "Failed decoding thumbnail image");
  EXPECT_FALSE(file_exists(scratch_path("u.png")));
}

TEST(Grid, TiledPrimaryDecodesLikeLibheif) {
  GridSpec g;
  g.width = 200, g.height = 150, g.tile = 64;  // 4 x 3 tiles, the last column and row cropped
  g.thumbnail = true;
  g.exif = Bytes{0, 0, 0, 0, 0x49, 0x49, 0x2A, 0, 8, 0, 0, 0, 0, 0};
  const std::string path = scratch_path("grid.heic");
  write_grid_heif(path, g);
  EXPECT_EQ(info_of(path), info_json(false, true, true, 200, 150));
  const std::string png = scratch_path("grid.png");
  ASSERT_EQ(lumetra_to_png(path.c_str(), png.c_str()), 1) << lumetra_last_error();
  const Raster ours = stb_load(png);
  EXPECT_EQ(ours.width, 200);
  EXPECT_EQ(ours.height, 150);
  EXPECT_TRUE(ours.pixels == libheif_decode(path, false).pixels);
  // The embedded thumbnail (320 x 240 here) is written as it is.
  ASSERT_EQ(lumetra_thumbnail(path.c_str(), png.c_str()), 1);
  EXPECT_EQ(stb_load(png).width, 320);
  EXPECT_EQ(stb_load(png).height, 240);
}
