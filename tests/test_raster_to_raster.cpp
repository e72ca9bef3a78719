// Raster sources to JPEG, PNG and BMP through lumetra_convert: the pixels
// as a viewer shows the source (turned by its EXIF orientation with
// LUMETRA_UPRIGHT, else kept as stored with the tag), the colour profile
// and EXIF read back by exiftool, and an Ultra HDR JPEG's gain map kept in
// a JPEG output (its rendition against the source's, by the reference
// renderer) and left out of a PNG with a note.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "fixtures.h"
#include "hdr/ultrahdr_jpeg.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "lumetra.h"

namespace {

const char kProfileName[] = "Raster travel profile";

Bytes exif_app1(int orientation) {
  TiffRecipe t;
  t.ifd0.push_back(short_entry(0x0112, static_cast<uint16_t>(orientation), true));
  Bytes payload = {'E', 'x', 'i', 'f', 0, 0};
  const Bytes tiff = build_tiff(t);
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  return app_segment(0xE1, payload);
}

Bytes icc_app2() {
  const char kSig[] = "ICC_PROFILE";
  Bytes payload(kSig, kSig + sizeof kSig);
  payload.push_back(1);
  payload.push_back(1);
  const Bytes icc = test_icc_profile(kProfileName);
  payload.insert(payload.end(), icc.begin(), icc.end());
  return app_segment(0xE2, payload);
}

// A 48 x 32 JPEG with EXIF orientation o and an ICC profile.
std::string jpeg_source(int o) {
  const std::string path = scratch_path("r2r-o" + std::to_string(o) + ".jpg");
  if (!file_exists(path)) write_file(path, jpeg_with_segments({exif_app1(o), icc_app2()}, 48, 32));
  return path;
}

// A 48 x 32 RGBA PNG with an eXIf chunk of orientation 6.
std::string png_source() {
  const std::string path = scratch_path("r2r.png");
  if (!file_exists(path)) {
    write_png(path, 48, 32, 4);
    TiffRecipe t;
    t.ifd0.push_back(short_entry(0x0112, 6, true));
    write_file(path, png_with_chunks(read_file(path), {{"eXIf", build_tiff(t)}}));
  }
  return path;
}

Raster without_alpha(const Raster& r) {
  Raster out{r.width, r.height, 3, {}};
  for (size_t i = 0; i < r.pixels.size(); i += 4) out.pixels.insert(out.pixels.end(), &r.pixels[i], &r.pixels[i] + 3);
  return out;
}

struct RasterCase {
  const char* name;
  std::string (*source)();
  const char* ext;
  int flags;
  int stored_orientation;  // the source's EXIF orientation
  bool profile;            // the source carries the ICC profile
  double min_psnr;         // against the source as shown; 0: identical
};
void PrintTo(const RasterCase& c, std::ostream* os) { *os << c.name; }

const int kKeep = LUMETRA_KEEP_METADATA;
const RasterCase kRasterCases[] = {
    {"jpeg_to_png_upright", [] { return jpeg_source(6); }, ".png", kKeep | LUMETRA_UPRIGHT, 6, true, 0},
    {"jpeg_to_png_as_stored", [] { return jpeg_source(6); }, ".png", kKeep, 6, true, 0},
    {"jpeg_to_jpeg_mirrored", [] { return jpeg_source(5); }, ".jpg", kKeep | LUMETRA_UPRIGHT, 5, true, 38},
    {"jpeg_to_bmp_upright", [] { return jpeg_source(8); }, ".bmp", kKeep | LUMETRA_UPRIGHT, 8, false, 0},
    {"png_rgba_to_png_upright", png_source, ".png", kKeep | LUMETRA_UPRIGHT, 6, false, 0},
    {"png_rgba_to_jpeg", png_source, ".jpg", kKeep | LUMETRA_UPRIGHT, 6, false, 38},
};

class RasterToRaster : public ::testing::TestWithParam<RasterCase> {};

TEST_P(RasterToRaster, ShowsTheSourceWithItsMetadata) {
  const RasterCase& c = GetParam();
  const std::string in = c.source();
  const std::string out = scratch_path(std::string("r2r-") + c.name + c.ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 95, c.flags), 1) << lumetra_last_error();
  const bool upright = (c.flags & LUMETRA_UPRIGHT) != 0;
  Raster want = exif_oriented(stb_load(in), upright ? c.stored_orientation : 1);
  Raster got = stb_load(out);
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  if (got.channels == 3 && want.channels == 4) want = without_alpha(want);  // JPEG holds the colours alone
  if (c.min_psnr == 0) {
    ASSERT_EQ(got.channels, want.channels);
    EXPECT_TRUE(got.pixels == want.pixels) << "pixels differ from the source as shown";
  } else {
    ASSERT_EQ(got.channels, want.channels);
    EXPECT_GE(psnr(got, want), c.min_psnr);
  }
  if (!have_exiftool() || std::string(c.ext) == ".bmp") return;
  EXPECT_EQ(exif_tag(out, "IFD0:Orientation"), std::to_string(upright ? 1 : c.stored_orientation));
  EXPECT_EQ(exif_tag(out, "ICC_Profile:ProfileDescription"), c.profile ? kProfileName : "");
}

INSTANTIATE_TEST_SUITE_P(Convert, RasterToRaster, ::testing::ValuesIn(kRasterCases),
                         [](const ::testing::TestParamInfo<RasterCase>& info) { return info.param.name; });

// The ISO model of an Ultra HDR JPEG's gain map, from its APP2 record.
bool iso_model(const UltraHdrParts& parts, GainModel* model) {
  static const char kUrn[] = "urn:iso:std:iso:ts:21496:-1";
  for (const Bytes& app2 : parts.gain_map_app2) {
    if (app2.size() > sizeof kUrn && std::memcmp(app2.data(), kUrn, sizeof kUrn) == 0) {
      return parse_iso_record(Bytes(app2.begin() + sizeof kUrn, app2.end()), false, model);
    }
  }
  return false;
}

// The library's own Ultra HDR JPEG of the tmap fixture.
std::string ultrahdr_source() {
  const std::string jpeg = scratch_path("r2r-ultrahdr.jpg");
  if (!file_exists(jpeg)) {
    const std::string heif = tmap_fixture("r2r-tmap", tmap_payload(TmapValues{}), 128, 96);
    if (lumetra_convert(heif.c_str(), jpeg.c_str(), 95, kKeep | LUMETRA_KEEP_HDR) != 1)
      ADD_FAILURE() << lumetra_last_error();
  }
  return jpeg;
}

TEST(RasterToRasterHdr, UltraHdrJpegKeepsItsGainMapInJpegOnly) {
  const std::string in = ultrahdr_source();
  UltraHdrParts want;
  GainModel want_model;
  ASSERT_TRUE(split_ultrahdr(read_file(in), &want));
  ASSERT_TRUE(iso_model(want, &want_model));

  const std::string jpg = scratch_path("r2r-ultrahdr-out.jpg");
  ASSERT_EQ(lumetra_convert(in.c_str(), jpg.c_str(), 95, kKeep | LUMETRA_KEEP_HDR), 1) << lumetra_last_error();
  EXPECT_STREQ(last_hdr_note(), "");
  UltraHdrParts got;
  GainModel got_model;
  ASSERT_TRUE(split_ultrahdr(read_file(jpg), &got)) << "no gain map in the JPEG";
  ASSERT_TRUE(iso_model(got, &got_model));
  EXPECT_EQ(got.primary_xmp.find("hdrgm:Version"), got.primary_xmp.rfind("hdrgm:Version")) << "one description";
  const Raster want_sdr = jpeg_decode(want.primary), got_sdr = jpeg_decode(got.primary);
  const Agreement a = compare_renditions(want_sdr, jpeg_decode(want.gain_map), want_model, got_sdr,
                                         jpeg_decode(got.gain_map), got_model, 1);
  EXPECT_LE(a.mean_stops, 0.05);
  EXPECT_LE(a.p99_stops, 0.25);
  EXPECT_GE(psnr(want_sdr, got_sdr), 38.0);

  const std::string png = scratch_path("r2r-ultrahdr-out.png");
  ASSERT_EQ(lumetra_convert(in.c_str(), png.c_str(), 0, kKeep | LUMETRA_KEEP_HDR), 1) << lumetra_last_error();
  EXPECT_NE(std::string(last_hdr_note()).find("gain map"), std::string::npos) << last_hdr_note();
  const Bytes written = read_file(png);
  const std::string text(written.begin(), written.end());
  EXPECT_EQ(text.find("hdrgm"), std::string::npos);
  EXPECT_EQ(text.find("Container:Directory"), std::string::npos);
}

}  // namespace
