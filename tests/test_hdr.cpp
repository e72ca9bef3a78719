// HDR gain maps kept as Ultra HDR JPEG: the written file, read back by an
// independent renderer (tests/hdr_reference.cpp), exiftool and libjpeg,
// renders like the HEIF it came from; unusable gain maps give the SDR JPEG.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include <libheif/heif.h>
#include <libheif/heif_items.h>

#include "fixtures.h"
#include "hdr/apple_gain_map.h"
#include "hdr/ultrahdr_jpeg.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "json_reader.h"
#include "lumetra.h"

namespace {

const std::string kCorpus = LUMETRA_CORPUS;
const int kFlags = LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR;
const char kIso[] = "urn:iso:std:iso:ts:21496:-1";

bool has_app2(const std::vector<Bytes>& segments, const Bytes& payload) {
  for (const Bytes& s : segments) {
    if (s == payload) return true;
  }
  return false;
}

Bytes iso_payload(const Bytes& record) {
  Bytes b(kIso, kIso + sizeof kIso);
  b.insert(b.end(), record.begin(), record.end());
  return b;
}

// Checks one converted photo against its HEIF; returns the agreement.
Agreement check_ultrahdr(const std::string& heif, const std::string& hdr_jpeg, const std::string& sdr_jpeg, int step) {
  UltraHdrParts parts;
  const Bytes file = read_file(hdr_jpeg);
  EXPECT_TRUE(split_ultrahdr(file, &parts)) << hdr_jpeg;
  // The primary is the SDR conversion's picture, pixel for pixel.
  const Raster primary = jpeg_decode(parts.primary), sdr = jpeg_decode(read_file(sdr_jpeg));
  EXPECT_EQ(primary.pixels, sdr.pixels) << hdr_jpeg;
  // ISO: the version record in the primary, the whole record with the map.
  EXPECT_TRUE(has_app2(parts.primary_app2, iso_payload(Bytes(4, 0)))) << hdr_jpeg;
  GainModel jpeg_model;
  bool iso_found = false;
  for (const Bytes& s : parts.gain_map_app2) {
    if (s.size() > sizeof kIso && std::memcmp(s.data(), kIso, sizeof kIso) == 0) {
      iso_found = parse_iso_record(Bytes(s.begin() + sizeof kIso, s.end()), false, &jpeg_model);
    }
  }
  EXPECT_TRUE(iso_found) << hdr_jpeg;
  // Adobe: the directory in the primary's XMP, the same numbers with the map.
  EXPECT_NE(parts.primary_xmp.find("hdrgm:Version=\"1.0\""), std::string::npos);
  EXPECT_NE(parts.primary_xmp.find("Item:Length=\"" + std::to_string(parts.gain_map.size()) + "\""), std::string::npos);
  const std::string gm = scratch_path("mpimage2.jpg");
  std::remove(gm.c_str());
  capture("exiftool -q -b -MPImage2 '" + hdr_jpeg + "' > '" + gm + "'");
  EXPECT_EQ(read_file(gm), parts.gain_map) << "exiftool's MPImage2 of " << hdr_jpeg;
  const std::string xmp_max = capture("exiftool -s3 -XMP-hdrgm:GainMapMax '" + gm + "'");
  EXPECT_NEAR(std::atof(xmp_max.c_str()), jpeg_model.max[0], 1e-5) << hdr_jpeg;
  EXPECT_EQ(capture("exiftool -s3 -MPF:NumberOfImages '" + hdr_jpeg + "'"), "2\n");

  Raster heif_primary, heif_gain;
  GainModel heif_model;
  EXPECT_TRUE(heif_gain_map(heif, &heif_primary, &heif_gain, &heif_model)) << heif;
  const Raster jpeg_gain = jpeg_decode(parts.gain_map);
  EXPECT_EQ(jpeg_gain.width, heif_gain.width) << hdr_jpeg;
  EXPECT_EQ(jpeg_gain.height, heif_gain.height) << hdr_jpeg;
  EXPECT_EQ(primary.width, heif_primary.width);
  if (jpeg_gain.width != heif_gain.width || jpeg_gain.height != heif_gain.height ||
      primary.width != heif_primary.width || !iso_found) {
    return Agreement{99, 99, 0};
  }
  // The gain map's own path (decode, alignment, Apple's re-encoding, JPEG)
  // on one SDR base, then the whole renditions.
  const Agreement map = compare_renditions(primary, heif_gain, heif_model, primary, jpeg_gain, jpeg_model, step);
  EXPECT_LE(map.mean_stops, 0.01) << hdr_jpeg;
  EXPECT_LE(map.p99_stops, 0.05) << hdr_jpeg;
  const Agreement whole = compare_renditions(heif_primary, heif_gain, heif_model, primary, jpeg_gain, jpeg_model, step);
  std::printf("%s: %zu pixels; gain map alone mean %.4f, p99 %.4f stops; renditions mean %.4f, p99 %.4f stops\n",
              heif.substr(heif.rfind('/') + 1).c_str(), whole.pixels, map.mean_stops, map.p99_stops, whole.mean_stops,
              whole.p99_stops);
  return whole;
}

}  // namespace

// The corpus's gain-map photos (left out of the slowest builds); `slow`
// ones only when LUMETRA_SLOW_CORPUS is set.
struct GainMapPhoto {
  const char* file;
  bool slow;
};

// How gtest names the case in its messages.
void PrintTo(const GainMapPhoto& c, std::ostream* os) { *os << c.file; }

class HdrPhoto : public ::testing::TestWithParam<GainMapPhoto> {};

TEST_P(HdrPhoto, GainMapRendersAsItsHeif) {
  const GainMapPhoto& c = GetParam();
  const std::string in = kCorpus + "/heif/" + c.file;
  if (!file_exists(in)) GTEST_SKIP() << "no corpus file " << in;
  if (c.slow && std::getenv("LUMETRA_SLOW_CORPUS") == nullptr) GTEST_SKIP() << "slow: set LUMETRA_SLOW_CORPUS";
  if (!have_exiftool()) GTEST_SKIP() << "exiftool not installed";
  // At quality 100, so that the primary's own compression (the same as
  // without HDR) does not hide what the gain map does.
  const std::string hdr = scratch_path("hdr.jpg"), sdr = scratch_path("sdr.jpg");
  ASSERT_EQ(lumetra_convert(in.c_str(), hdr.c_str(), 100, kFlags), 1) << lumetra_last_error();
  ASSERT_EQ(lumetra_convert(in.c_str(), sdr.c_str(), 100, LUMETRA_KEEP_METADATA), 1) << lumetra_last_error();
  const Agreement a = check_ultrahdr(in, hdr, sdr, c.slow ? 4 : 1);
  EXPECT_LE(a.mean_stops, 0.05);
  EXPECT_LE(a.p99_stops, 0.25);
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, HdrPhoto,
    ::testing::Values(GainMapPhoto{"tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic", false},
                      GainMapPhoto{"tmap-samsungS25ultra-gainmap-thumb-exifII.heic", false},
                      GainMapPhoto{"grid12mp-iphone12promax-thumb-gainmap-irot270-exifMM.heic", false},
                      GainMapPhoto{"grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic", false},
                      GainMapPhoto{"grid12mp-iphone14pro-portrait-depth-gainmap-nothumb-exifMM.heic", false},
                      GainMapPhoto{"grid7mp-iphone14pro-irot90-imir-thumb-exifMM.heic", false},
                      GainMapPhoto{"grid200mp-samsungS24ultra-thumb-irot270-gainmap-exifII.heic", true}),
    [](const ::testing::TestParamInfo<GainMapPhoto>& info) {
      std::string name = info.param.file;
      name = name.substr(0, name.find('.'));
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

namespace {

// A hand-built ISO gain map: its tmap payload, the gain map's size, and
// whether the map is kept.
struct TmapCase {
  const char* name;
  Bytes (*payload)();
  int gain_w, gain_h;
  bool kept;
};

// How gtest names the case in its messages.
void PrintTo(const TmapCase& c, std::ostream* os) { *os << c.name; }

TmapValues with(void (*change)(TmapValues*)) {
  TmapValues v;
  change(&v);
  return v;
}

const TmapCase kTmapCases[] = {
    {"valid", [] { return tmap_payload(TmapValues{}); }, 128, 96, true},
    {"truncated",
     [] {
       const Bytes valid = tmap_payload(TmapValues{});
       return Bytes(valid.begin(), valid.begin() + 30);
     },
     128, 96, false},
    {"zero_gamma_denominator", [] { return tmap_payload(with([](TmapValues* v) { v->gamma_d = 0; })); }, 128, 96,
     false},
    {"huge_max", [] { return tmap_payload(with([](TmapValues* v) { v->max_n = 0x7FFFFFFF; })); }, 128, 96, false},
    {"equal_headrooms", [] { return tmap_payload(with([](TmapValues* v) { v->base_n = 2; })); }, 128, 96, false},
    {"unknown_version", [] { return tmap_payload(with([](TmapValues* v) { v->version = 1; })); }, 128, 96, false},
    {"no_headroom", [] { return tmap_payload(with([](TmapValues* v) { v->alt_n = 0; })); }, 128, 96, false},
    {"map_larger_than_picture", [] { return tmap_payload(TmapValues{}); }, 512, 384, false},
    {"map_of_other_shape", [] { return tmap_payload(TmapValues{}); }, 128, 128, false}};

}  // namespace

// A valid map is kept; broken metadata or a map that cannot line up gives
// exactly the SDR JPEG, no error.
class TmapFixture : public ::testing::TestWithParam<TmapCase> {};

TEST_P(TmapFixture, KeptOrFallsBackToSdr) {
  if (!have_exiftool()) GTEST_SKIP() << "exiftool not installed";
  const TmapCase& c = GetParam();
  const std::string in = tmap_fixture(std::string("tmap-") + c.name, c.payload(), c.gain_w, c.gain_h);
  const std::string hdr = scratch_path(std::string("tmap-hdr-") + c.name + ".jpg");
  const std::string sdr = scratch_path(std::string("tmap-sdr-") + c.name + ".jpg");
  ASSERT_EQ(lumetra_convert(in.c_str(), hdr.c_str(), 100, kFlags), 1) << lumetra_last_error();
  ASSERT_EQ(lumetra_convert(in.c_str(), sdr.c_str(), 100, LUMETRA_KEEP_METADATA), 1);
  if (!c.kept) {
    EXPECT_EQ(read_file(hdr), read_file(sdr));
    // The tool converts all the same and says what it left out.
    const std::string said = capture(std::string(LUMETRA_CLI) + " convert -q 100 '" + in + "' '" + hdr + "' 2>&1");
    EXPECT_NE(said.find("HDR gain map not kept: "), std::string::npos) << said;
    EXPECT_EQ(read_file(hdr), read_file(sdr));
    return;
  }
  // The gain map's path is checked inside; the fixture's sharp colour
  // edges make the two decoders' chroma upsampling differ in the whole.
  check_ultrahdr(in, hdr, sdr, 1);
}

// info --detail and the conversion agree: a map the conversion keeps is
// usable, and one it leaves out for its metadata or size is reported
// unusable for the same reason (lining up needs the decoded map: only the
// conversion tells that one).
TEST_P(TmapFixture, DetailSaysWhatTheConversionDoes) {
  const TmapCase& c = GetParam();
  const std::string in = tmap_fixture(std::string("tmap-") + c.name, c.payload(), c.gain_w, c.gain_h);
  const std::string out = scratch_path(std::string("tmap-detail-") + c.name + ".jpg");
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 90, kFlags), 1) << lumetra_last_error();
  const std::string note = last_hdr_note();
  const char* text = lumetra_info_detail(in.c_str());
  ASSERT_NE(text, nullptr) << lumetra_last_error();
  bool ok = false;
  const Json detail = parse_json(text, &ok);
  ASSERT_TRUE(ok) << text;
  const Json& map = detail["images"][0]["gain_map"];
  ASSERT_EQ(map["kind"].text, "iso21496") << text;
  EXPECT_EQ(note.empty(), c.kept) << note;
  if (c.kept) {
    EXPECT_TRUE(map["usable"].boolean) << text;
    EXPECT_GT(map["headroom"].number, 1.0) << text;
  } else if (note != "gain map does not line up with the picture") {
    EXPECT_FALSE(map["usable"].boolean) << text;
    EXPECT_EQ(map["unusable"].text, note);
    EXPECT_TRUE(map["headroom"].is_null()) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Hdr, TmapFixture, ::testing::ValuesIn(kTmapCases),
                         [](const ::testing::TestParamInfo<TmapCase>& info) { return info.param.name; });

// Apple's maker-note values and the stops Apple's rule makes of them.
struct AppleNoteCase {
  int32_t m33n, m33d, m48n, m48d;
  bool little;
  double stops;
};

// How gtest names the case in its messages.
void PrintTo(const AppleNoteCase& c, std::ostream* os) {
  *os << c.m33n << "/" << c.m33d << ", " << c.m48n << "/" << c.m48d << (c.little ? " II" : " MM");
}

class AppleHeadroom : public ::testing::TestWithParam<AppleNoteCase> {};

// Apple's headroom from its maker note, in each branch of Apple's rule;
// exiftool reads the same tags from the same block.
TEST_P(AppleHeadroom, FromTheMakerNote) {
  const AppleNoteCase& c = GetParam();
  const Bytes exif = apple_exif(c.m33n, c.m33d, c.m48n, c.m48d, c.little);
  const double h = apple_headroom("", exif.data(), exif.size());
  EXPECT_NEAR(h, std::exp2(c.stops > 0 ? c.stops : 0), 1e-9);
  if (have_exiftool()) {
    Bytes app1{'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), exif.begin(), exif.end());
    const std::string jpg = scratch_path("apple-note.jpg");
    write_file(jpg, jpeg_with_segments({app_segment(0xE1, app1)}));
    const std::string read = capture("exiftool -n -s3 -Apple:HDRHeadroom '" + jpg + "'");
    EXPECT_NEAR(std::atof(read.c_str()), double(c.m33n) / c.m33d, 1e-6);
  }
  // Cut anywhere inside the note, the block gives no headroom, never a read past it.
  for (size_t cut = exif.size() - 1; cut > exif.size() - 60; --cut) {
    const Bytes head(exif.begin(), exif.begin() + long(cut));
    EXPECT_EQ(apple_headroom("", head.data(), head.size()), 0.0) << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(Hdr, AppleHeadroom,
                         ::testing::Values(AppleNoteCase{8432, 10000, 802, 100000, false, -20 * 0.00802 + 1.8},
                                           AppleNoteCase{7432, 10000, 30, 1000, true, -0.101 * 0.03 + 1.601},
                                           AppleNoteCase{101, 100, 5, 1000, false, -70 * 0.005 + 3.0},
                                           AppleNoteCase{101, 100, 29022, 10000, true, -0.303 * 2.9022 + 2.303},
                                           AppleNoteCase{0, 1, 0, 0, false, 1.8},      // no 0x30: counts as 0
                                           AppleNoteCase{101, 100, 80, 1, false, 0}),  // negative stops: no headroom
                         [](const ::testing::TestParamInfo<AppleNoteCase>& info) {
                           const AppleNoteCase& c = info.param;
                           return "m33_" + std::to_string(c.m33n) + "_" + std::to_string(c.m33d) + "_m48_" +
                                  std::to_string(c.m48n) + "_" + std::to_string(c.m48d) + (c.little ? "_II" : "_MM");
                         });

// The gain map's own XMP headroom comes before the maker note's.
TEST(Hdr, GainMapXmpHeadroomComesFirst) {
  const std::string xmp = "<HDRGainMap:HDRGainMapHeadroom>2.682468</HDRGainMap:HDRGainMapHeadroom>";
  EXPECT_DOUBLE_EQ(apple_headroom(xmp, nullptr, 0), 2.682468);
}
