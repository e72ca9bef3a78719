// Grids: the tiled primary decoded like libheif decodes it, and written to
// JPEG or PNG one band of tiles at a time, byte for byte the file the whole
// image gives, for every turn and flip, with tiles decoded on threads or on
// the caller's; a tile that fails in the middle of the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <libheif/heif.h>

#include "base/libheif_setup.h"
#include "fixtures.h"
#include "grid/grid_stream.h"
#include "grid/tile_bands.h"
#include "internal.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

bool any_colour(const heif_color_profile_nclx*) { return true; }

// The band writers: JPEG from YCbCr planes, JPEG from RGB, PNG.
enum class Writer { Ycbcr, Rgb, Png };

// Streams `in` directly through one writer (its own answer) into `out`.
StreamResult stream_directly(const std::string& in, const std::string& out, Writer writer) {
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  if (!open_primary_image(in.c_str(), &file, &ctx, &handle)) return StreamResult::Failed;
  switch (writer) {
    case Writer::Ycbcr:
      return stream_grid_ycbcr_jpeg(ctx.get(), handle.get(), out.c_str(), 90, PictureMetadata{}, nullptr, any_colour);
    case Writer::Rgb: return stream_grid_rgb_jpeg(ctx.get(), handle.get(), out.c_str(), 90, PictureMetadata{}, nullptr);
    default: return stream_grid_rgb_png(ctx.get(), handle.get(), out.c_str(), PictureMetadata{});
  }
}

// The file the whole image gives (YCbCr planes where they serve, or RGB;
// PNG by the extension).
Bytes whole_image_jpeg(const std::string& in, const std::string& out, bool ycbcr = true, int flags = 0) {
  set_grid_streaming(false);
  const int ok = convert_file(in.c_str(), out.c_str(), 90, flags, ycbcr);
  set_grid_streaming(true);
  return ok ? read_file(out) : Bytes{};
}

bool temporary_files_in(const std::string& dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".lumetra-") != std::string::npos) return true;
  return false;
}

// A grid's layout and transformations, and what each JPEG writer answers
// for it (PNG streams where the RGB writer does).
struct OrientationCase {
  const char* name;
  int width, height, tile;
  std::vector<Bytes> props;
  StreamResult ycbcr, rgb;
};

// How gtest names the case in its messages.
void PrintTo(const OrientationCase& c, std::ostream* os) { *os << c.name; }

const StreamResult W = StreamResult::Written, N = StreamResult::NotApplicable;

const OrientationCase kOrientations[] = {
    {"partial_last_row_and_column", 200, 150, 64, {}, W, W},
    {"tiles_divide", 256, 128, 64, {}, W, W},
    {"irot90", 200, 150, 64, {irot_box(90)}, W, W},
    {"irot180", 200, 150, 64, {irot_box(180)}, W, W},
    {"irot270", 200, 150, 64, {irot_box(270)}, W, W},
    {"imir_vertical_axis", 200, 150, 64, {imir_box(0)}, W, W},
    {"imir_horizontal_axis", 200, 150, 64, {imir_box(1)}, W, W},
    {"irot90_imir", 200, 150, 64, {irot_box(90), imir_box(1)}, W, W},
    {"imir_irot270", 330, 140, 128, {imir_box(0), irot_box(270)}, W, W},
    {"irot180_imir_irot90", 200, 150, 64, {irot_box(180), imir_box(0), irot_box(90)}, W, W},
    // A crop is the RGB writer's (decode_upright crops the RGB pixels).
    {"clap_odd_offsets", 200, 150, 64, {clap_box(151, 101, 3, -5)}, N, W},
    {"clap_irot90_imir", 200, 150, 64, {clap_box(133, 77, -7, 9), irot_box(90), imir_box(0)}, N, W},
    {"irot270_clap", 200, 150, 64, {irot_box(270), clap_box(99, 121, 1, 1)}, N, W},
    // Odd sides: chroma turns through 4:4:4 in libheif, so only an
    // unturned picture streams, and only through RGB.
    {"odd_width", 199, 150, 64, {}, N, W},
    {"odd_width_irot90", 199, 150, 64, {irot_box(90)}, N, N},
};

const char* writer_name(Writer w) { return w == Writer::Ycbcr ? "ycbcr_jpeg" : w == Writer::Rgb ? "rgb_jpeg" : "png"; }

class GridOrientation : public ::testing::TestWithParam<std::tuple<OrientationCase, Writer>> {};

TEST_P(GridOrientation, StreamsTheWholeImageBytes) {
  const OrientationCase& c = std::get<0>(GetParam());
  const Writer writer = std::get<1>(GetParam());
  GridRecipe grid;
  grid.width = c.width;
  grid.height = c.height;
  grid.tile = c.tile;
  grid.grid_properties = c.props;
  const std::string tag = std::string(c.name) + "-" + writer_name(writer);
  const std::string in = scratch_path("stream-" + tag + ".heic");
  write_grid_heif(in, grid);
  const bool ycbcr = writer == Writer::Ycbcr;
  const StreamResult answer = ycbcr ? c.ycbcr : c.rgb;
  const std::string ext = writer == Writer::Png ? ".png" : ".jpg";
  const std::string streamed = scratch_path("stream-" + tag + ext);
  const std::string whole = scratch_path("whole-" + tag + ext);
  std::remove(streamed.c_str());
  ASSERT_EQ(stream_directly(in, streamed, writer), answer);
  const Bytes expected = whole_image_jpeg(in, whole, ycbcr);
  ASSERT_FALSE(expected.empty()) << lumetra_last_error();
  if (answer == W)
    EXPECT_TRUE(read_file(streamed) == expected);
  else
    EXPECT_FALSE(file_exists(streamed));
  // Tiles decoded on the caller's thread, as where no thread can start.
  const std::string here = scratch_path("here-" + tag + ext);
  std::remove(here.c_str());
  set_tile_threads(false);
  const StreamResult here_answer = stream_directly(in, here, writer);
  set_tile_threads(true);
  ASSERT_EQ(here_answer, answer);
  if (answer == W) EXPECT_TRUE(read_file(here) == expected);
  // The call as a whole (streaming on) gives the same file.
  const std::string via_call = scratch_path("call-" + tag + ext);
  ASSERT_EQ(convert_file(in.c_str(), via_call.c_str(), 90, 0, ycbcr), 1) << lumetra_last_error();
  EXPECT_TRUE(read_file(via_call) == expected);

  // The picture itself is libheif's upright one (independent reader).
  const Raster jpeg = stb_load(via_call), reference = libheif_decode(in, false);
  ASSERT_EQ(jpeg.width, reference.width);
  ASSERT_EQ(jpeg.height, reference.height);
  EXPECT_GT(psnr(jpeg, reference), 28.0);
}

INSTANTIATE_TEST_SUITE_P(GridStream, GridOrientation,
                         ::testing::Combine(::testing::ValuesIn(kOrientations),
                                            ::testing::Values(Writer::Ycbcr, Writer::Rgb, Writer::Png)),
                         [](const ::testing::TestParamInfo<std::tuple<OrientationCase, Writer>>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  writer_name(std::get<1>(info.param));
                         });

// 4 x 5 tiles; tile 13 is in the fourth band written (third with the turn).
struct BrokenTileCase {
  const char* name;
  std::vector<Bytes> props;
};

// How gtest names the case in its messages.
void PrintTo(const BrokenTileCase& c, std::ostream* os) { *os << c.name; }

class GridBrokenTile : public ::testing::TestWithParam<BrokenTileCase> {};

TEST_P(GridBrokenTile, LeavesTheOldFileAndTheUsualMessage) {
  const BrokenTileCase& c = GetParam();
  GridRecipe grid;
  grid.width = 256;
  grid.height = 320;
  grid.tile = 64;
  grid.grid_properties = c.props;
  grid.broken_tile = 13;
  const std::string in = scratch_path(std::string("broken-") + c.name + ".heic");
  write_grid_heif(in, grid);
  const std::string dir = scratch_path(std::string("broken-") + c.name);
  fs::create_directories(dir);
  for (const char* name : {"/out.jpg", "/out.png"}) {
    for (const bool ycbcr : {true, false}) {
      SCOPED_TRACE(std::string(name) + (ycbcr ? " from YCbCr" : " from RGB"));
      const std::string out = dir + name;
      const Bytes old{'o', 'l', 'd'};
      for (const bool threads : {true, false}) {
        SCOPED_TRACE(threads ? "tiles on threads" : "tiles on the caller's thread");
        write_file(out, old);
        set_tile_threads(threads);
        const int converted = convert_file(in.c_str(), out.c_str(), 90, 0, ycbcr);
        set_tile_threads(true);
        ASSERT_EQ(converted, 0);
        const std::string streamed_error = lumetra_last_error();
        EXPECT_EQ(streamed_error.rfind("Failed to decode HEIC image: ", 0), 0u) << streamed_error;
        EXPECT_TRUE(read_file(out) == old);
        EXPECT_FALSE(temporary_files_in(dir));
      }

      set_grid_streaming(false);
      EXPECT_EQ(convert_file(in.c_str(), out.c_str(), 90, 0, ycbcr), 0);
      set_grid_streaming(true);
      EXPECT_EQ(std::string(lumetra_last_error()).rfind("Failed to decode HEIC image: ", 0), 0u);
      EXPECT_TRUE(read_file(out) == old);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(GridStream, GridBrokenTile,
                         ::testing::Values(BrokenTileCase{"upright", {}}, BrokenTileCase{"irot180", {irot_box(180)}},
                                           BrokenTileCase{"irot90", {irot_box(90)}}),
                         [](const ::testing::TestParamInfo<BrokenTileCase>& info) { return info.param.name; });

const std::string kCorpus = LUMETRA_CORPUS;

bool large(const std::string& name) {
  return std::getenv("LUMETRA_HEAVY_CORPUS") == nullptr && name.find("grid200mp") != std::string::npos;
}

TEST(Corpus, GridsStreamToTheWholeImageBytes) {
  const fs::path dir = fs::path(kCorpus) / "heif";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no corpus at " << kCorpus;
  int streamed = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (large(name) || (name.find("grid") == std::string::npos && name.find("tmap") == std::string::npos)) continue;
    SCOPED_TRACE(name);
    const std::string whole = scratch_path("corpus-whole.jpg"), ours = scratch_path("corpus-streamed.jpg");
    // With the gain map appended as an Ultra HDR JPEG where there is one.
    const int flags = LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR;
    const std::string in = e.path().string();
    const Bytes expected = whole_image_jpeg(in, whole, true, flags);
    const bool ok = lumetra_convert(in.c_str(), ours.c_str(), 90, flags) == 1;
    EXPECT_EQ(ok, !expected.empty()) << lumetra_last_error();
    if (ok) EXPECT_TRUE(read_file(ours) == expected);
    // And from RGB, which every grid can take. (Streamed, it also takes
    // the 200 MP photo, whose whole RGB picture libheif refuses to allocate.)
    const Bytes rgb = whole_image_jpeg(in, whole, false, flags);
    if (!rgb.empty()) {
      EXPECT_EQ(convert_file(in.c_str(), ours.c_str(), 90, flags, false), 1) << lumetra_last_error();
      EXPECT_TRUE(read_file(ours) == rgb);
    }
    streamed +=
        stream_directly(in, scratch_path("corpus-direct.jpg"), Writer::Ycbcr) == StreamResult::Written ||
        stream_directly(e.path().string(), scratch_path("corpus-direct.jpg"), Writer::Rgb) == StreamResult::Written;
  }
  std::printf("corpus: %d grids streamed, every grid's JPEGs (YCbCr and RGB) identical to the whole-image ones\n",
              streamed);
  EXPECT_GE(streamed, 5);
}

TEST(Grid, TiledPrimaryDecodesLikeLibheif) {
  GridRecipe g;
  g.width = 200, g.height = 150, g.tile = 64;  // 4 x 3 tiles, the last column and row cropped
  g.thumbnail = true;
  g.exif = Bytes{0, 0, 0, 0, 0x49, 0x49, 0x2A, 0, 8, 0, 0, 0, 0, 0};
  const std::string path = scratch_path("grid.heic");
  write_grid_heif(path, g);
  const char* info = lumetra_info(path.c_str());
  ASSERT_NE(info, nullptr) << lumetra_last_error();
  EXPECT_STREQ(info,
               "{\"width\":200,\"height\":150,\"bit_depth\":8,\"has_alpha\":false,\"has_thumbnail\":true,"
               "\"color_space\":\"YCbCr\",\"exif\":true,\"image_count\":1}");
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

}  // namespace
