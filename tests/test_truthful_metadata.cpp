// Outputs that describe only what they hold: the XMP of a motion photo's
// video or a gain map left out of JPEG and PNG outputs without them, the
// tool's thumbnails with the colour profile of what they show, and a sweep
// of the corpus's photos (skipped without it) through convert and the
// tool's thumbnail: one eXIf per PNG, the thumbnail of the picture's shape,
// and no container directory naming bytes the JPEG lacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "calls/fitted_thumbnail.h"
#include "fixtures.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "lumetra.h"
#include "output_readers.h"

namespace {

// ---- XMP of appended images: a motion photo's video and a gain map

// A photo's XMP as a motion photo with a gain map writes it: a title, the
// camera namespace's motion-photo properties, hdrgm, and a container
// directory listing the video and the gain map appended to the file.
std::string appended_images_xmp() {
  return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
         "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title><rdf:Alt>"
         "<rdf:li xml:lang=\"x-default\">Harbour at dusk</rdf:li></rdf:Alt></dc:title></rdf:Description>"
         "<rdf:Description rdf:about=\"\" xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\""
         " xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\""
         " xmlns:Container=\"http://ns.google.com/photos/1.0/container/\""
         " xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" hdrgm:Version=\"1.0\""
         " GCamera:MotionPhoto=\"1\" GCamera:MotionPhotoVersion=\"1\""
         " GCamera:MotionPhotoPresentationTimestampUs=\"501234\"><Container:Directory><rdf:Seq>"
         "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/heic\"/>"
         "</rdf:li><rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"GainMap\""
         " Item:Mime=\"image/jpeg\" Item:Length=\"20480\"/></rdf:li><rdf:li rdf:parseType=\"Resource\">"
         "<Container:Item Item:Semantic=\"MotionPhoto\" Item:Mime=\"video/mp4\" Item:Length=\"3276800\"/>"
         "</rdf:li></rdf:Seq></Container:Directory></rdf:Description></rdf:RDF></x:xmpmeta>";
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct AppendedCase {
  const char* name;
  bool gain_map;  // the HEIF holds a tmap gain map
  const char* ext;
  int flags;
  bool ultrahdr;  // the output is an Ultra HDR JPEG
};
void PrintTo(const AppendedCase& c, std::ostream* os) { *os << c.name; }

class AppendedImagesXmp : public ::testing::TestWithParam<AppendedCase> {};

TEST_P(AppendedImagesXmp, DescribesOnlyWhatTheOutputHolds) {
  const AppendedCase& c = GetParam();
  std::string in;
  if (c.gain_map) {
    in = tmap_fixture("appended-xmp-tmap", tmap_payload(TmapValues{}), 128, 96, appended_images_xmp());
  } else {
    HeifRecipe r;
    r.xmp_text = appended_images_xmp();
    in = heif_fixture("appended-xmp", r);
  }
  const std::string out = scratch_path(std::string("appended_") + c.name + c.ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, c.flags), 1) << lumetra_last_error();
  const Bytes file = read_file(out);
  Bytes tiff;
  std::string xmp;
  if (std::string(c.ext) == ".png") {
    for (const PngChunk& chunk : png_chunks(file)) {
      if (chunk.type == "iTXt") xmp.assign(chunk.data.begin(), chunk.data.end());
    }
  } else {
    jpeg_app1(file, &tiff, &xmp);  // the primary picture's own segments
  }
  EXPECT_NE(xmp.find("Harbour at dusk"), std::string::npos) << xmp;
  for (const char* gone : {"MotionPhoto", "video/mp4", "3276800", "GCamera:"}) {
    EXPECT_EQ(xmp.find(gone), std::string::npos) << gone << " in " << xmp;
  }
  if (c.ultrahdr) {
    // One directory, the library's own: the primary and the gain map it appended.
    EXPECT_EQ(count_of(xmp, "Directory>"), 2u) << xmp;
    EXPECT_EQ(count_of(xmp, "Item:Semantic=\"GainMap\""), 1u) << xmp;
    EXPECT_EQ(xmp.find("20480"), std::string::npos) << xmp;
    EXPECT_EQ(count_of(xmp, "hdrgm:Version"), 1u) << xmp;
  } else {
    for (const char* gone : {"hdrgm", "hdr-gain-map", "Container", "GainMap", "Item:"}) {
      EXPECT_EQ(xmp.find(gone), std::string::npos) << gone << " in " << xmp;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Convert, AppendedImagesXmp,
    ::testing::Values(AppendedCase{"motion_photo_jpeg", false, ".jpg", LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR, false},
                      AppendedCase{"motion_photo_png", false, ".png", LUMETRA_KEEP_METADATA, false},
                      AppendedCase{"gain_map_sdr_jpeg", true, ".jpg", LUMETRA_KEEP_METADATA, false},
                      AppendedCase{"gain_map_ultrahdr_jpeg", true, ".jpg", LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR,
                                   true}),
    [](const ::testing::TestParamInfo<AppendedCase>& info) { return info.param.name; });

// ---- the tool's thumbnails carry the colour profile of what they show

struct ProfileCase {
  const char* name;
  bool embedded;  // the file has a thumbnail item (coded without a profile of its own)
  bool profile;   // the primary carries an ICC profile
  const char* ext;
};
void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

class ThumbnailProfile : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ThumbnailProfile, IsThePrimarysProfile) {
  const ProfileCase& c = GetParam();
  HeifRecipe r;
  r.width = 400, r.height = 300;
  // Colours whose means do not depend on the picture's size.
  r.pixel = [](int x, int y, int ch) { return static_cast<uint8_t>(60 + 50 * ch + (x + y) % 8); };
  if (c.embedded) r.thumb_width = 200, r.thumb_height = 150;
  if (c.profile) r.icc = test_icc_profile("Thumbnail wide gamut");
  const std::string in = heif_fixture(std::string("thumb_profile_") + c.name + ".heic", r);
  const std::string out = scratch_path(std::string("thumb_profile_") + c.name + c.ext);
  ASSERT_EQ(thumbnail_fit(in.c_str(), out.c_str(), 160), 1) << lumetra_last_error();
  const Bytes file = read_file(out);
  EXPECT_TRUE(carried_profile(file, std::string(c.ext) == ".png") == r.icc) << "the profile carried";
  const Raster shown = stb_load(out);
  EXPECT_EQ(shown.width, 160);
  EXPECT_EQ(shown.height, 120);
  // Each channel's mean against libheif's decode of the primary: the same
  // picture, whichever writer wrote it.
  const Raster full = libheif_decode(in, false);
  for (int ch = 0; ch < 3; ++ch) {
    double a = 0, b = 0;
    for (size_t i = ch; i < shown.pixels.size(); i += shown.channels) a += shown.pixels[i];
    for (size_t i = ch; i < full.pixels.size(); i += full.channels) b += full.pixels[i];
    EXPECT_NEAR(a / (shown.pixels.size() / shown.channels), b / (full.pixels.size() / full.channels), 3.0) << ch;
  }
}

INSTANTIATE_TEST_SUITE_P(Thumbnail, ThumbnailProfile,
                         ::testing::Values(ProfileCase{"embedded_jpeg", true, true, ".jpg"},
                                           ProfileCase{"embedded_png", true, true, ".png"},
                                           ProfileCase{"reduced_jpeg", false, true, ".jpg"},
                                           ProfileCase{"no_profile_png", false, false, ".png"}),
                         [](const ::testing::TestParamInfo<ProfileCase>& info) { return info.param.name; });

// ---- the corpus's photos

// The corpus's HEIF and AVIF photos, relative to it; one empty name when
// there is no corpus. The heaviest only with LUMETRA_HEAVY_CORPUS.
std::vector<std::string> corpus_photos() {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  const fs::path root(LUMETRA_CORPUS);
  for (const char* dir : {"heif", "avif"}) {
    if (!fs::is_directory(root / dir)) continue;
    for (const auto& e : fs::directory_iterator(root / dir)) {
      const std::string name = e.path().filename().string();
      const bool heavy = name.find("grid200mp") != std::string::npos || name.find("17000x17000") != std::string::npos;
      if (e.is_regular_file() && (!heavy || std::getenv("LUMETRA_HEAVY_CORPUS") != nullptr))
        files.push_back(std::string(dir) + "/" + name);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) files.push_back("");
  return files;
}

// The numbers of every `Item:Length="N"` in an XMP packet, summed.
uint64_t listed_lengths(const std::string& xmp) {
  uint64_t sum = 0;
  const std::string key = "Item:Length=\"";
  for (size_t at = xmp.find(key); at != std::string::npos; at = xmp.find(key, at + 1))
    sum += std::strtoull(xmp.c_str() + at + key.size(), nullptr, 10);
  return sum;
}

class CorpusTruth : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusTruth, OutputsHoldWhatTheyDescribe) {
  if (GetParam().empty()) GTEST_SKIP() << "no corpus at " << LUMETRA_CORPUS;
  const std::string in = std::string(LUMETRA_CORPUS) + "/" + GetParam();
  // PNG: one eXIf at most, before the image data; its size is the picture's.
  const std::string png = scratch_path("truth.png");
  if (lumetra_convert(in.c_str(), png.c_str(), 0, LUMETRA_KEEP_METADATA) != 1) GTEST_SKIP() << lumetra_last_error();
  const std::vector<PngChunk> chunks = png_chunks(read_file(png));
  ASSERT_FALSE(chunks.empty());
  EXPECT_LE(count_chunks(chunks, "eXIf"), 1);
  if (count_chunks(chunks, "eXIf") == 1) EXPECT_LT(first_chunk(chunks, "eXIf"), first_chunk(chunks, "IDAT"));
  const Bytes& ihdr = chunks[0].data;
  ASSERT_GE(ihdr.size(), 8u);
  const int64_t pw = int64_t(ihdr[0]) << 24 | ihdr[1] << 16 | ihdr[2] << 8 | ihdr[3];
  const int64_t ph = int64_t(ihdr[4]) << 24 | ihdr[5] << 16 | ihdr[6] << 8 | ihdr[7];

  // JPEG: a container directory only in an Ultra HDR JPEG, listing exactly
  // the bytes appended to it; no motion photo's video.
  const std::string jpg = scratch_path("truth.jpg");
  ASSERT_EQ(lumetra_convert(in.c_str(), jpg.c_str(), 90, LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR), 1)
      << lumetra_last_error();
  const Bytes file = read_file(jpg);
  Bytes tiff;
  std::string xmp;
  jpeg_app1(file, &tiff, &xmp);
  EXPECT_EQ(xmp.find("MotionPhoto"), std::string::npos);
  if (xmp.find("Directory>") != std::string::npos) {
    UltraHdrParts parts;
    ASSERT_TRUE(split_ultrahdr(file, &parts)) << "a directory without an MPF-indexed gain map";
    EXPECT_EQ(listed_lengths(xmp), parts.gain_map.size());
  } else {
    EXPECT_EQ(xmp.find("hdrgm:Version"), std::string::npos);
  }

  // The tool's thumbnail: the picture's shape within 2 % (a camera's own
  // thumbnail item is of its shape to about 1 %) and a pixel of rounding.
  const std::string thumb = scratch_path("truth-thumb.png");
  ASSERT_EQ(thumbnail_fit(in.c_str(), thumb.c_str(), 256), 1) << lumetra_last_error();
  const Raster t = stb_load(thumb);
  EXPECT_LE(double(std::llabs(int64_t(t.width) * ph - int64_t(t.height) * pw)),
            double(std::max(pw, ph)) + 0.02 * double(t.width) * double(ph))
      << t.width << "x" << t.height << " for " << pw << "x" << ph;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusTruth, ::testing::ValuesIn(corpus_photos()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.empty() ? "no_corpus" : info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
