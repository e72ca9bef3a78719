// Encoding raster files to HEIF: loading, channels, thumbnail, EXIF
// carry-over, write failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#ifndef _WIN32
#  include <unistd.h>
#endif

#include <libheif/heif.h>

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"

namespace {

std::string last_error() { return lumetra_last_error(); }

// Smooth, asymmetric in x and y and different per channel, so flips and
// channel swaps show up as a large error.
uint8_t smooth(int x, int y, int c) {
  switch (c) {
    case 0: return static_cast<uint8_t>(20 + x * 2);
    case 1: return static_cast<uint8_t>(30 + y * 3);
    case 2: return static_cast<uint8_t>(200 - x - y);
    default: return static_cast<uint8_t>(255 - y * 4);
  }
}

struct HeifFacts {
  int width = 0, height = 0;
  bool alpha = false;
  int thumbnails = 0;
  int thumb_width = 0, thumb_height = 0;
  Bytes exif;
  bool has_exif = false;
};

HeifFacts read_facts(const std::string& path) {
  HeifFacts f;
  heif_context* ctx = heif_context_alloc();
  EXPECT_EQ(heif_context_read_from_file(ctx, path.c_str(), nullptr).code, heif_error_Ok);
  heif_image_handle* h = nullptr;
  heif_context_get_primary_image_handle(ctx, &h);
  f.width = heif_image_handle_get_width(h);
  f.height = heif_image_handle_get_height(h);
  f.alpha = heif_image_handle_has_alpha_channel(h) != 0;
  f.thumbnails = heif_image_handle_get_number_of_thumbnails(h);
  if (f.thumbnails > 0) {
    heif_item_id id = 0;
    heif_image_handle_get_list_of_thumbnail_IDs(h, &id, 1);
    heif_image_handle* t = nullptr;
    heif_image_handle_get_thumbnail(h, id, &t);
    f.thumb_width = heif_image_handle_get_width(t);
    f.thumb_height = heif_image_handle_get_height(t);
    heif_image_handle_release(t);
  }
  if (heif_image_handle_get_number_of_metadata_blocks(h, "Exif") > 0) {
    heif_item_id id = 0;
    heif_image_handle_get_list_of_metadata_block_IDs(h, "Exif", &id, 1);
    f.exif.resize(heif_image_handle_get_metadata_size(h, id));
    heif_image_handle_get_metadata(h, id, f.exif.data());
    f.has_exif = true;
  }
  heif_image_handle_release(h);
  heif_context_free(ctx);
  return f;
}

Raster expected_rgb(int w, int h, int channels) {
  // What the source pixels become after channel normalisation.
  const int out_ch = (channels == 2 || channels == 4) ? 4 : 3;
  Raster r;
  r.width = w, r.height = h, r.channels = out_ch;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < out_ch; ++c) {
        if (channels <= 2)
          r.pixels.push_back(c < 3 ? smooth(x, y, 0) : smooth(x, y, 1));
        else
          r.pixels.push_back(smooth(x, y, c));
      }
  return r;
}

Bytes exif_tiff() {
  TiffRecipe t;
  t.ifd0 = {ascii_entry(271, "Lumetra"), ascii_entry(272, "Bench-1")};
  return build_tiff(t);
}

Bytes exif_payload(const Bytes& tiff) {
  Bytes p{'E', 'x', 'i', 'f', 0, 0};
  p.insert(p.end(), tiff.begin(), tiff.end());
  return p;
}

Bytes expected_block(const Bytes& tiff) {
  Bytes b{0, 0, 0, 0};
  b.insert(b.end(), tiff.begin(), tiff.end());
  return b;
}

// The EXIF block the encoder would attach for a JPEG byte stream.
bool block_for(const Bytes& jpeg, Bytes* block) {
  const std::string path = scratch_path("walk.jpg");
  write_file(path, jpeg);
  unsigned char* raw = nullptr;
  size_t size = 0;
  if (!load_jpeg_exif_block(path.c_str(), &raw, &size)) return false;
  block->assign(raw, raw + size);
  std::free(raw);
  return true;
}

}  // namespace

TEST(Encode, RoundTripEveryChannelCount) {
  const int w = 96, h = 64;
  for (const int channels : {1, 2, 3, 4}) {
    const std::string src = scratch_path("src" + std::to_string(channels) + ".png");
    const std::string out = scratch_path("enc" + std::to_string(channels) + ".heic");
    write_png(src, w, h, channels, smooth);
    ASSERT_EQ(lumetra_from_image(src.c_str(), out.c_str(), 90), 1) << lumetra_last_error();
    EXPECT_STREQ(lumetra_last_error(), "");
    const HeifFacts f = read_facts(out);
    EXPECT_EQ(f.width, w);
    EXPECT_EQ(f.height, h);
    EXPECT_EQ(f.alpha, channels == 2 || channels == 4) << channels;
    EXPECT_FALSE(f.has_exif);
    const Raster decoded = libheif_decode(out, f.alpha);
    EXPECT_GT(psnr(decoded, expected_rgb(w, h, channels)), 30.0) << channels << " channels";
  }

  const std::string jpg = scratch_path("src.jpg");
  write_jpeg(jpg, w, h, smooth, 98);
  ASSERT_EQ(lumetra_from_image(jpg.c_str(), scratch_path("encjpg").c_str(), 90), 1);
  EXPECT_GT(psnr(libheif_decode(scratch_path("encjpg"), false), expected_rgb(w, h, 3)), 30.0);
}

// A BMP whose rows are stored top-down (negative height), written here byte
// by byte: it encodes, the right way up.
TEST(Encode, TopDownBmpSource) {
  const int w = 96, h = 64;
  const uint32_t row = (w * 3 + 3) & ~3u, pixels = row * h;
  Bytes bmp{'B', 'M'};
  const auto put = [&](const Bytes& b) { bmp.insert(bmp.end(), b.begin(), b.end()); };
  put(u32_bytes(54 + pixels, true)), put(u32_bytes(0, true)), put(u32_bytes(54, true));
  put(u32_bytes(40, true)), put(u32_bytes(w, true)), put(u32_bytes(static_cast<uint32_t>(-h), true));
  put(u16_bytes(1, true)), put(u16_bytes(24, true)), put(u32_bytes(0, true)), put(u32_bytes(pixels, true));
  for (int i = 0; i < 4; ++i) put(u32_bytes(0, true));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x)
      for (int c = 2; c >= 0; --c) bmp.push_back(smooth(x, y, c));
    bmp.resize(bmp.size() + row - w * 3, 0);
  }
  const std::string src = scratch_path("top-down.bmp"), out = scratch_path("top-down.heic");
  write_file(src, bmp);
  ASSERT_EQ(lumetra_from_image(src.c_str(), out.c_str(), 90), 1) << lumetra_last_error();
  EXPECT_GT(psnr(libheif_decode(out, false), expected_rgb(w, h, 3)), 30.0);
}

TEST(Encode, QualityClamp) {
  const std::string src = scratch_path("q.png");
  write_png(src, 48, 32, 3, smooth);
  auto encode = [&](int q) {
    const std::string out = scratch_path("q" + std::to_string(q) + ".heic");
    EXPECT_EQ(lumetra_from_image(src.c_str(), out.c_str(), q), 1);
    return read_file(out);
  };
  const Bytes q85 = encode(85), q100 = encode(100), q1 = encode(1);
  EXPECT_TRUE(encode(0) == q85);
  EXPECT_TRUE(encode(-5) == q85);
  EXPECT_TRUE(encode(101) == q100);
  EXPECT_TRUE(encode(1000) == q100);
  EXPECT_FALSE(q1 == q100);
  EXPECT_LT(q1.size(), q100.size());
}

// A source's size and whether its HEIF gets a thumbnail.
struct ThumbnailRuleCase {
  int w, h;
  bool thumb;
};

// How gtest names the case in its messages.
void PrintTo(const ThumbnailRuleCase& c, std::ostream* os) { *os << c.w << "x" << c.h; }

class EncodedThumbnail : public ::testing::TestWithParam<ThumbnailRuleCase> {};

TEST_P(EncodedThumbnail, FollowsTheRule) {
  const ThumbnailRuleCase& c = GetParam();
  const std::string tag = std::to_string(c.w) + "x" + std::to_string(c.h);
  const std::string src = scratch_path("t" + tag + ".png");
  const std::string out = scratch_path("t" + tag + ".heic");
  write_png(src, c.w, c.h, 3, gradient_pixel);
  ASSERT_EQ(lumetra_from_image(src.c_str(), out.c_str(), 50), 1);
  const HeifFacts f = read_facts(out);
  EXPECT_EQ(f.thumbnails > 0, c.thumb);
  if (c.thumb) {
    EXPECT_LE(std::max(f.thumb_width, f.thumb_height), 160);
    EXPECT_GE(std::max(f.thumb_width, f.thumb_height), 158);
    EXPECT_NEAR(double(f.thumb_width) / f.thumb_height, double(c.w) / c.h, 0.05);
  }
}

INSTANTIATE_TEST_SUITE_P(Encode, EncodedThumbnail,
                         ::testing::Values(ThumbnailRuleCase{161, 161, true}, ThumbnailRuleCase{320, 200, true},
                                           ThumbnailRuleCase{200, 320, true}, ThumbnailRuleCase{159, 900, false},
                                           ThumbnailRuleCase{900, 159, false}, ThumbnailRuleCase{160, 160, false}),
                         [](const ::testing::TestParamInfo<ThumbnailRuleCase>& info) {
                           return std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
                         });

TEST(Encode, ThumbnailSkippedWhereLibheifWouldCrash) {
  EXPECT_TRUE(thumbnail_encodable(160, 12800, 160));
  EXPECT_FALSE(thumbnail_encodable(160, 12801, 160));
  EXPECT_FALSE(thumbnail_encodable(200, 20000, 160));
  EXPECT_TRUE(thumbnail_encodable(200, 16000, 160));
  EXPECT_FALSE(thumbnail_encodable(30000, 160, 160));
  EXPECT_TRUE(thumbnail_encodable(161, 161, 160));

  // Both sides of the line through the encoder: the short side of the box
  // comes out at exactly 2, then just below it.
  for (const auto& size : {std::pair<int, int>{160, 12800}, {160, 12801}}) {
    const std::string src = scratch_path("tall.png");
    const std::string out = scratch_path("tall.heic");
    write_png(src, size.first, size.second, 3, gradient_pixel);
    ASSERT_EQ(lumetra_from_image(src.c_str(), out.c_str(), 10), 1) << lumetra_last_error();
    EXPECT_EQ(read_facts(out).thumbnails > 0, size.second == 12800);
  }
}

TEST(Encode, ExifSegmentWalk) {
  const Bytes tiff = exif_tiff();
  const Bytes exif_seg = app_segment(0xE1, exif_payload(tiff));
  const Bytes app0 = app_segment(0xE0, Bytes{'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 0, 0});
  const Bytes xmp = app_segment(0xE1, Bytes{'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.', 'a', 'd', 'o', 'b', 'e'});
  Bytes block;

  ASSERT_TRUE(block_for(jpeg_with_segments({exif_seg}), &block));
  EXPECT_TRUE(block == expected_block(tiff));
  ASSERT_TRUE(block_for(jpeg_with_segments({app0, xmp, exif_seg}), &block));
  EXPECT_TRUE(block == expected_block(tiff));

  // "Exif" followed by other than two zero bytes is passed over.
  Bytes not_exif = exif_payload(tiff);
  not_exif[5] = 1;
  ASSERT_TRUE(block_for(jpeg_with_segments({app_segment(0xE1, not_exif), exif_seg}), &block));
  EXPECT_TRUE(block == expected_block(tiff));

  // Only the first EXIF segment counts.
  TiffRecipe other;
  other.ifd0 = {ascii_entry(271, "Second")};
  ASSERT_TRUE(block_for(jpeg_with_segments({exif_seg, app_segment(0xE1, exif_payload(build_tiff(other)))}), &block));
  EXPECT_TRUE(block == expected_block(tiff));

  // Length 8: the identifier alone gives four zero bytes.
  ASSERT_TRUE(block_for(jpeg_with_segments({app_segment(0xE1, Bytes{'E', 'x', 'i', 'f', 0, 0})}), &block));
  EXPECT_TRUE(block == (Bytes{0, 0, 0, 0}));

  // After SOS: not found (stb's stream already holds SOS before our data).
  Bytes after_sos = jpeg_with_segments({});
  after_sos.insert(after_sos.end() - 2, exif_seg.begin(), exif_seg.end());
  EXPECT_FALSE(block_for(after_sos, &block));

  // A segment that runs past the end of the file ends the walk.
  Bytes overlong = Bytes{0xFF, 0xD8};
  const Bytes head = app_segment(0xE0, Bytes(40, 0));
  overlong.insert(overlong.end(), head.begin(), head.end());
  Bytes runaway{0xFF, 0xE1, 0x40, 0x00, 'E', 'x', 'i', 'f', 0, 0};
  runaway.insert(runaway.end(), tiff.begin(), tiff.end());
  overlong.insert(overlong.end(), runaway.begin(), runaway.end());
  EXPECT_FALSE(block_for(overlong, &block));

  // Non-JPEG sources, short files.
  EXPECT_FALSE(block_for(Bytes(64, 0x89), &block));
  Bytes tiny = jpeg_with_segments({exif_seg});
  tiny.resize(31);
  EXPECT_FALSE(block_for(tiny, &block));
  EXPECT_FALSE(load_jpeg_exif_block("/nonexistent.jpg", nullptr, nullptr));
}

TEST(Encode, ExifSourceSizeWindow) {
  const Bytes tiff = exif_tiff();
  Bytes jpeg = jpeg_with_segments({app_segment(0xE1, exif_payload(tiff))});
  Bytes block;
  jpeg.resize(20971520, 0);
  ASSERT_TRUE(block_for(jpeg, &block));
  EXPECT_TRUE(block == expected_block(tiff));
  jpeg.push_back(0);
  EXPECT_FALSE(block_for(jpeg, &block));
}

TEST(Encode, ExifCarriedIntoHeif) {
  const Bytes tiff = exif_tiff();
  const std::string src = scratch_path("exif.jpg");
  write_file(src, jpeg_with_segments({app_segment(0xE1, exif_payload(tiff))}, 40, 30));
  const std::string out = scratch_path("exif.heic");
  ASSERT_EQ(lumetra_from_image(src.c_str(), out.c_str(), 60), 1) << lumetra_last_error();
  const HeifFacts f = read_facts(out);
  ASSERT_TRUE(f.has_exif);
  // libheif stores its own offset field (4: past our four zero bytes), then our block.
  Bytes stored{0, 0, 0, 4};
  const Bytes ours = expected_block(tiff);
  stored.insert(stored.end(), ours.begin(), ours.end());
  EXPECT_TRUE(f.exif == stored);
  const char* report = lumetra_exif(out.c_str());
  ASSERT_NE(report, nullptr);
  EXPECT_NE(std::string(report).find("\"Make\":\"Lumetra\",\"Model\":\"Bench-1\""), std::string::npos) << report;

  // A PNG source never carries EXIF.
  write_png(scratch_path("noexif.png"), 40, 30, 3);
  ASSERT_EQ(lumetra_from_image(scratch_path("noexif.png").c_str(), out.c_str(), 60), 1);
  EXPECT_FALSE(read_facts(out).has_exif);
}

TEST(Encode, Failures) {
  const std::string png = scratch_path("fail.png");
  write_png(png, 24, 16, 3);
  EXPECT_EQ(lumetra_from_image(nullptr, "x.heic", 50), 0);
  EXPECT_EQ(last_error(), "Invalid arguments to lumetra_from_image");
  EXPECT_EQ(lumetra_from_image(png.c_str(), nullptr, 50), 0);
  EXPECT_EQ(last_error(), "Invalid arguments to lumetra_from_image");

  EXPECT_EQ(lumetra_from_image("/nonexistent.png", scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(last_error(), "Failed loading source image '/nonexistent.png': can't fopen");
  EXPECT_EQ(lumetra_from_image("", scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(last_error(), "Failed loading source image '': can't fopen");

  const std::string text = scratch_path("notes.txt");
  write_file(text, Bytes(200, 'z'));
  EXPECT_EQ(lumetra_from_image(text.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(last_error(), "Failed loading source image '" + text + "': unknown image type");

  const std::string hdr = scratch_path("sky.hdr");
  const std::string radiance = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n";
  Bytes hdr_bytes(radiance.begin(), radiance.end());
  hdr_bytes.insert(hdr_bytes.end(), 16, 0x80);
  write_file(hdr, hdr_bytes);
  EXPECT_EQ(lumetra_from_image(hdr.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(last_error(), "Failed loading source image '" + hdr + "': unknown image type");

  const std::string heif = heif_fixture("rgb.heic", HeifRecipe{});
  EXPECT_EQ(lumetra_from_image(heif.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(last_error().rfind("Failed loading source image '" + heif + "': ", 0), 0u);

  const std::string long_src = "/nonexistent/" + std::string(300, 's') + ".png";
  EXPECT_EQ(lumetra_from_image(long_src.c_str(), "o.heic", 50), 0);
  EXPECT_EQ(last_error(), ("Failed loading source image '" + long_src).substr(0, 255));

  // Writes that cannot happen are failures, not silent successes.
  EXPECT_EQ(lumetra_from_image(png.c_str(), "/nonexistent/dir/out.heic", 50), 0);
  EXPECT_EQ(last_error(), "Failed writing HEIF file to disk: Cannot open output file: No such file or directory");
#ifndef _WIN32  // /dev/full, ENOTDIR and /proc are POSIX
  EXPECT_EQ(lumetra_from_image(png.c_str(), "/dev/full", 50), 0);
  EXPECT_EQ(last_error(), "Failed writing HEIF file to disk: Cannot write output file: No space left on device");
  // Unwritable even for root: under a regular file, and inside /proc.
  EXPECT_EQ(lumetra_from_image(png.c_str(), (png + "/out.heic").c_str(), 50), 0);
  EXPECT_EQ(last_error(), "Failed writing HEIF file to disk: Cannot open output file: Not a directory");
  if (access("/proc/self", F_OK) == 0) {
    EXPECT_EQ(lumetra_from_image(png.c_str(), "/proc/lumetra-out.heic", 50), 0);
    EXPECT_EQ(last_error().rfind("Failed writing HEIF file to disk: Cannot open output file: ", 0), 0u);
  }
#else
  EXPECT_EQ(lumetra_from_image(png.c_str(), (png + "/out.heic").c_str(), 50), 0);
  EXPECT_EQ(last_error().rfind("Failed writing HEIF file to disk: Cannot open output file: ", 0), 0u) << last_error();
#endif

  // Any extension receives HEIF; success empties the earlier message.
  const std::string odd = scratch_path("out.png");
  ASSERT_EQ(lumetra_from_image(png.c_str(), odd.c_str(), 50), 1);
  EXPECT_STREQ(lumetra_last_error(), "");
  EXPECT_EQ(lumetra_is_heic(odd.c_str()), 1);
}
