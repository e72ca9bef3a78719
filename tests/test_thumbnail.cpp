// Thumbnails: the fixed-size one by nearest neighbour or the embedded one
// at its own size, against libheif's decode; the one that fits a box,
// against a box filter written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

uint8_t solid_red(int, int, int c) { return c == 0 ? 250 : (c == 3 ? 255 : 10); }
uint8_t solid_blue(int, int, int c) { return c == 2 ? 250 : (c == 3 ? 255 : 10); }

// Large flat blocks survive lossy coding, so sampled pixels can be
// compared with libheif's own decode exactly.
std::string sized(int w, int h) {
  HeifRecipe s;
  s.width = w, s.height = h;
  s.pixel = [](int x, int y, int c) { return static_cast<uint8_t>(((x / 16) * 37 + (y / 16) * 91 + c * 50) & 0xFF); };
  return heif_fixture("sized" + std::to_string(w) + "x" + std::to_string(h) + ".heic", s);
}

}  // namespace

// The fixed thumbnail's size: a source's size and the size it gets.
struct SizeRuleCase {
  int w, h, ow, oh;
};

// How gtest names the case in its messages.
void PrintTo(const SizeRuleCase& c, std::ostream* os) { *os << c.w << "x" << c.h; }

class ThumbnailSize : public ::testing::TestWithParam<SizeRuleCase> {};

TEST_P(ThumbnailSize, FitsThe320Box) {
  const SizeRuleCase& c = GetParam();
  int ow = 0, oh = 0;
  thumbnail_size(c.w, c.h, &ow, &oh);
  EXPECT_EQ(ow, c.ow);
  EXPECT_EQ(oh, c.oh);
}

INSTANTIATE_TEST_SUITE_P(Thumbnail, ThumbnailSize,
                         ::testing::Values(SizeRuleCase{4032, 3024, 320, 240}, SizeRuleCase{3024, 4032, 240, 320},
                                           SizeRuleCase{1000, 1000, 320, 320}, SizeRuleCase{321, 320, 320, 319},
                                           SizeRuleCase{320, 321, 319, 320}, SizeRuleCase{5000, 10, 320, 1},
                                           SizeRuleCase{10, 5000, 1, 320}, SizeRuleCase{320, 320, 320, 320},
                                           SizeRuleCase{100, 20, 100, 20}, SizeRuleCase{640, 480, 320, 240}),
                         [](const ::testing::TestParamInfo<SizeRuleCase>& info) {
                           return std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
                         });

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
  HeifRecipe s;
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
  HeifRecipe alpha;
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
  const std::string rgb = heif_fixture("rgb.heic", HeifRecipe{});
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
  const std::string rgb = heif_fixture("rgb.heic", HeifRecipe{});
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

namespace {

// The reference: every output pixel the exact area mean of the source
// rectangle it covers, computed in two dimensions at once.
Raster box_reference(const Raster& src, int ow, int oh) {
  Raster r;
  r.width = ow, r.height = oh, r.channels = src.channels;
  const double sx = double(src.width) / ow, sy = double(src.height) / oh;
  for (int y = 0; y < oh; ++y) {
    for (int x = 0; x < ow; ++x) {
      for (int c = 0; c < src.channels; ++c) {
        double sum = 0;
        const double x0 = x * sx, x1 = (x + 1) * sx, y0 = y * sy, y1 = (y + 1) * sy;
        for (int j = int(y0); j < y1 && j < src.height; ++j) {
          const double wy = std::min(y1, j + 1.0) - std::max(y0, double(j));
          for (int i = int(x0); i < x1 && i < src.width; ++i) {
            const double wx = std::min(x1, i + 1.0) - std::max(x0, double(i));
            sum += wx * wy * src.pixels[(size_t(j) * src.width + i) * src.channels + c];
          }
        }
        r.pixels.push_back(static_cast<uint8_t>(std::lround(sum / (sx * sy))));
      }
    }
  }
  return r;
}

// The embedded thumbnail, decoded by libheif.
Raster libheif_thumbnail(const std::string& path) {
  Raster r;
  heif_context* ctx = heif_context_alloc();
  heif_context_read_from_file(ctx, path.c_str(), nullptr);
  heif_image_handle *h = nullptr, *t = nullptr;
  heif_context_get_primary_image_handle(ctx, &h);
  heif_item_id id = 0;
  if (heif_image_handle_get_list_of_thumbnail_IDs(h, &id, 1) == 1) heif_image_handle_get_thumbnail(h, id, &t);
  heif_image* img = nullptr;
  if (t != nullptr &&
      heif_decode_image(t, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code == heif_error_Ok) {
    int stride = 0;
    const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
    r.width = heif_image_get_primary_width(img), r.height = heif_image_get_primary_height(img), r.channels = 3;
    for (int y = 0; y < r.height; ++y)
      r.pixels.insert(r.pixels.end(), p + size_t(y) * stride, p + size_t(y) * stride + r.width * 3);
    heif_image_release(img);
  }
  if (t != nullptr) heif_image_handle_release(t);
  heif_image_handle_release(h);
  heif_context_free(ctx);
  return r;
}

}  // namespace

TEST(ThumbnailFit, FitsTheBoxByAreaAveraging) {
  // A 1200 x 900 picture, with and without a 600 x 450 thumbnail of other
  // content, so that the source taken shows in the pixels.
  HeifRecipe with_thumb;
  with_thumb.width = 1200, with_thumb.height = 900, with_thumb.thumb_width = 600, with_thumb.thumb_height = 450;
  with_thumb.thumb_pixel = [](int x, int y, int c) { return static_cast<uint8_t>((x * 7 + y * 3 + c * 50) & 0xFF); };
  HeifRecipe without = with_thumb;
  without.thumb_width = without.thumb_height = 0;
  const std::string files[2] = {heif_fixture("fit-thumb.heic", with_thumb), heif_fixture("fit-plain.heic", without)};
  const Raster primary = libheif_decode(files[0], false), thumb = libheif_thumbnail(files[0]);
  ASSERT_EQ(thumb.width, 600);
  for (int f = 0; f < 2; ++f) {
    for (const int box : {128, 256, 512, 1024}) {
      SCOPED_TRACE(files[f] + " box " + std::to_string(box));
      const std::string out = scratch_path("fit-" + std::to_string(f) + "-" + std::to_string(box) + ".png");
      ASSERT_EQ(thumbnail_fit(files[f].c_str(), out.c_str(), box), 1) << lumetra_last_error();
      const Raster got = stb_load(out);
      EXPECT_EQ(got.width, box);
      EXPECT_EQ(got.height, box * 3 / 4);
      const bool from_thumb = f == 0 && box <= 600;
      const Raster want = box_reference(from_thumb ? thumb : libheif_decode(files[f], false), box, box * 3 / 4);
      ASSERT_EQ(got.pixels.size(), want.pixels.size());
      int worst = 0;
      for (size_t i = 0; i < got.pixels.size(); ++i) worst = std::max(worst, std::abs(got.pixels[i] - want.pixels[i]));
      EXPECT_LE(worst, 1);
    }
  }
  (void)primary;
  // Already inside the box: kept at its size, pixels untouched.
  const std::string out = scratch_path("fit-small.png");
  const std::string small = heif_fixture("fit-small.heic", HeifRecipe{});
  ASSERT_EQ(thumbnail_fit(small.c_str(), out.c_str(), 128), 1);
  const Raster got = stb_load(out);
  EXPECT_EQ(got.pixels, libheif_decode(small, false).pixels);
}
