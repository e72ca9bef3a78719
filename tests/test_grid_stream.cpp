// Grids written to JPEG one band of tiles at a time: byte for byte the
// whole-image road's file, for every turn and flip; a tile that fails in
// the middle of the picture; FFmpeg's HEVC decoder against libde265.
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
#include "grid/grid_stream.h"
#include "heif/hevc_decoder.h"
#include "internal.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

bool any_colour(const heif_color_profile_nclx*) { return true; }

enum class Road { Ycbcr, Rgb, Png };

// Streams `in` directly through one road (its own answer) into `out`.
StreamResult stream_directly(const std::string& in, const std::string& out, Road road) {
  HeifFileBytes file;
  ContextHolder ctx;
  HandleHolder handle;
  if (!open_primary_image(in.c_str(), &file, &ctx, &handle)) return StreamResult::Failed;
  switch (road) {
    case Road::Ycbcr:
      return stream_grid_ycbcr_jpeg(ctx.get(), handle.get(), out.c_str(), 90, PictureMetadata{}, nullptr, any_colour);
    case Road::Rgb: return stream_grid_rgb_jpeg(ctx.get(), handle.get(), out.c_str(), 90, PictureMetadata{}, nullptr);
    default: return stream_grid_rgb_png(ctx.get(), handle.get(), out.c_str(), PictureMetadata{});
  }
}

// The whole-image road's file (YCbCr planes where they serve, or RGB; PNG
// by the extension).
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

TEST(GridStream, SameBytesAsTheWholeImageForEveryOrientationOnEveryRoad) {
  const StreamResult W = StreamResult::Written, N = StreamResult::NotApplicable;
  struct Case {
    const char* name;
    int width, height, tile;
    std::vector<Bytes> props;
    StreamResult ycbcr, rgb;  // each road's own answer
  };
  const Case cases[] = {
      {"partial-last-row-and-column", 200, 150, 64, {}, W, W},
      {"tiles-divide", 256, 128, 64, {}, W, W},
      {"irot90", 200, 150, 64, {irot_box(90)}, W, W},
      {"irot180", 200, 150, 64, {irot_box(180)}, W, W},
      {"irot270", 200, 150, 64, {irot_box(270)}, W, W},
      {"imir-vertical-axis", 200, 150, 64, {imir_box(0)}, W, W},
      {"imir-horizontal-axis", 200, 150, 64, {imir_box(1)}, W, W},
      {"irot90-imir", 200, 150, 64, {irot_box(90), imir_box(1)}, W, W},
      {"imir-irot270", 330, 140, 128, {imir_box(0), irot_box(270)}, W, W},
      {"irot180-imir-irot90", 200, 150, 64, {irot_box(180), imir_box(0), irot_box(90)}, W, W},
      // A crop is the RGB road's (decode_upright crops the RGB pixels).
      {"clap-odd-offsets", 200, 150, 64, {clap_box(151, 101, 3, -5)}, N, W},
      {"clap-irot90-imir", 200, 150, 64, {clap_box(133, 77, -7, 9), irot_box(90), imir_box(0)}, N, W},
      {"irot270-clap", 200, 150, 64, {irot_box(270), clap_box(99, 121, 1, 1)}, N, W},
      // Odd sides: chroma turns through 4:4:4 in libheif, so only an
      // unturned picture streams, and only through RGB.
      {"odd-width", 199, 150, 64, {}, N, W},
      {"odd-width-irot90", 199, 150, 64, {irot_box(90)}, N, N},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GridSpec grid;
    grid.width = c.width;
    grid.height = c.height;
    grid.tile = c.tile;
    grid.grid_properties = c.props;
    const std::string in = scratch_path(std::string("stream-") + c.name + ".heic");
    write_grid_heif(in, grid);
    for (const Road road : {Road::Ycbcr, Road::Rgb, Road::Png}) {
      SCOPED_TRACE(road == Road::Ycbcr ? "YCbCr road" : road == Road::Rgb ? "RGB road" : "PNG");
      const bool ycbcr = road == Road::Ycbcr;
      const std::string ext = road == Road::Png ? ".png" : ".jpg";
      const std::string streamed = scratch_path(std::string("stream-") + c.name + ext);
      const std::string whole = scratch_path(std::string("whole-") + c.name + ext);
      std::remove(streamed.c_str());
      ASSERT_EQ(stream_directly(in, streamed, road), ycbcr ? c.ycbcr : c.rgb);
      const Bytes expected = whole_image_jpeg(in, whole, ycbcr);
      ASSERT_FALSE(expected.empty()) << lumetra_last_error();
      if ((ycbcr ? c.ycbcr : c.rgb) == W)
        EXPECT_TRUE(read_file(streamed) == expected);
      else
        EXPECT_FALSE(file_exists(streamed));
      // The call as a whole (streaming on) gives the same file.
      const std::string via_call = scratch_path(std::string("call-") + c.name + ext);
      ASSERT_EQ(convert_file(in.c_str(), via_call.c_str(), 90, 0, ycbcr), 1) << lumetra_last_error();
      EXPECT_TRUE(read_file(via_call) == expected);

      // The picture itself is libheif's upright one (independent reader).
      const Raster jpeg = stb_load(via_call), reference = libheif_decode(in, false);
      ASSERT_EQ(jpeg.width, reference.width);
      ASSERT_EQ(jpeg.height, reference.height);
      EXPECT_GT(psnr(jpeg, reference), 28.0);
    }
  }
}

TEST(GridStream, TileFailingMidPictureLeavesTheOldFileAndTheUsualMessage) {
  struct Case {
    const char* name;
    std::vector<Bytes> props;
  };
  // 4 x 5 tiles; tile 13 is in the fourth band written (third with the turn).
  const Case cases[] = {{"upright", {}}, {"irot180", {irot_box(180)}}, {"irot90", {irot_box(90)}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GridSpec grid;
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
        const std::string out = dir + name;
        const Bytes old{'o', 'l', 'd'};
        write_file(out, old);
        ASSERT_EQ(convert_file(in.c_str(), out.c_str(), 90, 0, ycbcr), 0);
        const std::string streamed_error = lumetra_last_error();
        EXPECT_EQ(streamed_error.rfind("Failed to decode HEIC image: ", 0), 0u) << streamed_error;
        EXPECT_TRUE(read_file(out) == old);
        EXPECT_FALSE(temporary_files_in(dir));

        set_grid_streaming(false);
        EXPECT_EQ(convert_file(in.c_str(), out.c_str(), 90, 0, ycbcr), 0);
        set_grid_streaming(true);
        EXPECT_EQ(std::string(lumetra_last_error()).rfind("Failed to decode HEIC image: ", 0), 0u);
        EXPECT_TRUE(read_file(out) == old);
      }
    }
  }
}

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
    // And the RGB road, which every grid can take. (Streamed, it also takes
    // the 200 MP photo, whose whole RGB picture libheif refuses to allocate.)
    const Bytes rgb = whole_image_jpeg(in, whole, false, flags);
    if (!rgb.empty()) {
      EXPECT_EQ(convert_file(in.c_str(), ours.c_str(), 90, flags, false), 1) << lumetra_last_error();
      EXPECT_TRUE(read_file(ours) == rgb);
    }
    streamed +=
        stream_directly(in, scratch_path("corpus-direct.jpg"), Road::Ycbcr) == StreamResult::Written ||
        stream_directly(e.path().string(), scratch_path("corpus-direct.jpg"), Road::Rgb) == StreamResult::Written;
  }
  std::printf("corpus: %d grids streamed, every grid's JPEGs (both roads) identical to the whole-image ones\n",
              streamed);
  EXPECT_GE(streamed, 5);
}

// ---- FFmpeg's decoder and libde265 on the corpus

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

  // FFmpeg's planes are libde265's; where it fails, our road (FFmpeg first)
  // still gives libde265's.
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

// The whole call with each decoder (the tool, LUMETRA_HEVC_DECODER forcing
// libde265): the same JPEG, streamed or not, and the 4:2:2 file decodes.
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
      ASSERT_EQ(std::system((std::string(LUMETRA_CLI) + " convert '" + in + "' " + a + " 2>/dev/null").c_str()), 0);
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
