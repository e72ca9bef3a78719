// HEIF/AVIF to HEIF/AVIF in one conversion: the output read back by
// libheif (pixels, depth, alpha, images) and exiftool (profile, EXIF, XMP).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include <libheif/heif.h>

#include "fixtures.h"
#include "heif_info.h"
#include "lumetra.h"

namespace {

// An asymmetric pattern, so that a turn or a flip shows.
uint8_t pattern(int x, int y, int c) {
  switch (c) {
    case 0: return static_cast<uint8_t>(x * 4);
    case 1: return static_cast<uint8_t>(y * 5);
    case 2: return static_cast<uint8_t>(x < 20 ? 220 : 30);
    default: return static_cast<uint8_t>(y < 24 ? 255 : 96);
  }
}

Bytes exif_with_orientation(int orientation) {
  TiffRecipe t;
  t.little = false;
  t.ifd0 = {ascii_entry(0x010F, "Lumetra"), short_entry(0x0112, static_cast<uint16_t>(orientation), false)};
  return build_tiff(t);
}

struct ReencodeCase {
  const char* name;
  bool source_av1;
  int bit_depth;
  bool alpha;
  int orientation;  // of the source's pixels (irot/imir); EXIF says the same
  int extra_images;
  const char* out_ext;
  int flags;
  int images_out;  // top-level images in the output
};
void PrintTo(const ReencodeCase& c, std::ostream* os) { *os << c.name; }

const int kKeep = LUMETRA_KEEP_METADATA;
const ReencodeCase kCases[] = {
    {"hevc_to_avif", false, 8, false, 1, 0, ".avif", kKeep, 1},
    {"avif_to_heic", true, 8, false, 1, 0, ".heic", kKeep, 1},
    {"hevc_to_heic", false, 8, false, 1, 0, ".heic", kKeep, 1},
    {"ten_bit_avif_stays_ten_bit", true, 10, false, 1, 0, ".avif", kKeep, 1},
    {"ten_bit_to_heic", true, 10, false, 1, 0, ".heic", kKeep, 1},
    {"alpha_kept", false, 8, true, 1, 0, ".avif", kKeep, 1},
    {"irot_turned_upright", false, 8, false, 6, 0, ".avif", kKeep, 1},
    {"irot_imir_turned_upright", false, 8, false, 7, 0, ".heic", kKeep, 1},
    {"primary_only", false, 8, false, 1, 2, ".heic", kKeep, 1},
    {"every_image", false, 8, false, 1, 2, ".avif", kKeep | LUMETRA_ALL_IMAGES, 3},
};

class Reencode : public ::testing::TestWithParam<ReencodeCase> {};

TEST_P(Reencode, KeepsPicturesDepthAlphaAndMetadata) {
  const ReencodeCase& c = GetParam();
  const bool out_av1 = std::string(c.out_ext) == ".avif";
  if (!libheif_encodes(c.source_av1, c.bit_depth) || !libheif_encodes(out_av1, c.bit_depth)) {
    GTEST_SKIP() << "this libheif has no encoder for the case";
  }
  HeifRecipe r;
  r.width = 64, r.height = 48, r.pixel = pattern;
  r.av1 = c.source_av1, r.bit_depth = c.bit_depth, r.alpha = c.alpha;
  r.orientation = c.orientation, r.extra_images = c.extra_images;
  r.icc = test_icc_profile("Lumetra Reencode");
  r.exif = exif_with_orientation(c.orientation);
  r.xmp_text =
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
      "<rdf:Description xmlns:dc=\"http://purl.org/dc/elements/1.1/\" dc:format=\"image/heic\"/></rdf:RDF>"
      "</x:xmpmeta>";
  r.quality = 95;
  const std::string in = scratch_path(std::string(c.name) + "-in" + (c.source_av1 ? ".avif" : ".heic"));
  write_heif(in, r);
  const std::string out = scratch_path(std::string(c.name) + "-out" + c.out_ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, c.flags), 1) << lumetra_last_error();

  // heif-info as the independent reader of the file's structure, where it
  // runs (not under wine).
  const FileFacts facts = file_facts(heif_info_text(out));
  if (!facts.major.empty()) {
    EXPECT_EQ(facts.major, out_av1 ? "avif" : "heic");
    ASSERT_EQ(static_cast<int>(facts.images.size()), c.images_out);
    const ImageFacts& primary = facts.images[0];
    EXPECT_TRUE(primary.primary);
    EXPECT_EQ(primary.bits, c.bit_depth);
    EXPECT_EQ(primary.alpha, c.alpha);
    for (const std::string& t : primary.transforms) {
      EXPECT_NE(t.rfind("crop", 0), std::string::npos) << "the pixels themselves are upright: " << t;
    }
  }
  // Upright pixels: the source's pattern as its EXIF orientation shows it
  // (libheif 1.19.7's own decode mis-turns a cropped, turned and mirrored
  // image, which x265's padding of 48 rows makes this one).
  Raster stored;
  stored.width = r.width, stored.height = r.height, stored.channels = c.alpha ? 4 : 3;
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      for (int ch = 0; ch < stored.channels; ++ch) stored.pixels.push_back(pattern(x, y, ch));
    }
  }
  const Raster want = exif_oriented(stored, c.orientation);
  const Raster got = libheif_decode(out, c.alpha);
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  EXPECT_GE(psnr(want, got), 36.0);

  if (!have_exiftool()) return;
  EXPECT_EQ(exif_tag(out, "ICC_Profile:ProfileDescription"), "Lumetra Reencode");
  EXPECT_EQ(exif_tag(out, "IFD0:Make"), "Lumetra");
  EXPECT_EQ(exif_tag(out, "IFD0:Orientation"), "1");
  EXPECT_EQ(exif_tag(out, "XMP-dc:Format"), "image/heic");
}

INSTANTIATE_TEST_SUITE_P(HeifToHeif, Reencode, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ReencodeCase>& i) { return std::string(i.param.name); });

}  // namespace
