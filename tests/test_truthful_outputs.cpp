// Outputs that say what the photo holds: one eXIf chunk per PNG, colour
// profiles kept in PNG, thumbnails at their item's size, EXIF Orientation
// kept where the pixels were not turned, XMP that describes no appended
// image the output lacks. Each checked by a reader of its
// own here (PNG chunks, JPEG markers, TIFF fields) or by libheif.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <libheif/heif.h>
#include <zlib.h>

#include "calls/fitted_thumbnail.h"
#include "fixtures.h"
#include "lumetra.h"
#include "output_readers.h"

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// TIFF data with Make and Orientation, big-endian.
Bytes tiff_block(int orientation) {
  TiffRecipe t;
  t.little = false;
  t.ifd0 = {ascii_entry(0x010F, "Lumetra"), short_entry(0x0112, static_cast<uint16_t>(orientation), false)};
  return build_tiff(t);
}

// A HEIF Exif item's payload: the offset field (0: TIFF header next), then the TIFF data.
Bytes exif_item(const Bytes& tiff) {
  Bytes b{0, 0, 0, 0};
  b.insert(b.end(), tiff.begin(), tiff.end());
  return b;
}

// ---- One eXIf chunk in every PNG lumetra_convert writes

enum class PngSource { Whole, Grid, Deep };

struct ExifPngCase {
  const char* name;
  PngSource source;
};

void PrintTo(const ExifPngCase& c, std::ostream* os) { *os << c.name; }

class PngExifOnce : public ::testing::TestWithParam<ExifPngCase> {};

TEST_P(PngExifOnce, OneExifChunkBeforeTheImageData) {
  const ExifPngCase& c = GetParam();
  const Bytes tiff = tiff_block(1);
  const std::string in = scratch_path(std::string("exif_once_") + c.name + ".heic");
  int flags = LUMETRA_KEEP_METADATA;
  if (c.source == PngSource::Grid) {
    GridRecipe g;
    g.exif = exif_item(tiff);
    write_grid_heif(in, g);
  } else {
    HeifRecipe s;
    s.exif = exif_item(tiff);
    s.icc = test_icc_profile("one eXIf");
    if (c.source == PngSource::Deep) {
      if (!libheif_encodes(false, 10)) GTEST_SKIP() << "no 10-bit HEVC encoder";
      s.bit_depth = 10;
      flags |= LUMETRA_KEEP_DEPTH;
    }
    write_heif(in, s);
  }
  const std::string out = scratch_path(std::string("exif_once_") + c.name + ".png");
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, flags), 1) << lumetra_last_error();
  const std::vector<PngChunk> chunks = png_chunks(read_file(out));
  ASSERT_FALSE(chunks.empty());
  EXPECT_EQ(count_chunks(chunks, "eXIf"), 1);
  const int exif = first_chunk(chunks, "eXIf");
  ASSERT_GE(exif, 0);
  EXPECT_LT(exif, first_chunk(chunks, "IDAT"));
  EXPECT_EQ(chunks[size_t(exif)].data, tiff);
  EXPECT_LE(count_chunks(chunks, "iCCP"), 1);
  EXPECT_EQ(chunks.back().type, "IEND");
}

INSTANTIATE_TEST_SUITE_P(Convert, PngExifOnce,
                         ::testing::Values(ExifPngCase{"Whole", PngSource::Whole}, ExifPngCase{"Grid", PngSource::Grid},
                                           ExifPngCase{"Deep", PngSource::Deep}),
                         [](const ::testing::TestParamInfo<ExifPngCase>& info) { return info.param.name; });

// ---- A colour profile whose header length is off, kept in PNG

// The profile of a PNG's iCCP chunk, inflated here.
Bytes iccp_profile(const PngChunk& iccp) {
  const auto name_end = std::find(iccp.data.begin(), iccp.data.end(), uint8_t(0));
  if (name_end == iccp.data.end() || iccp.data.end() - name_end < 2 || name_end[1] != 0) return {};
  const Bytes packed(name_end + 2, iccp.data.end());
  Bytes out(1 << 20);
  uLongf size = out.size();
  if (uncompress(out.data(), &size, packed.data(), packed.size()) != Z_OK) return {};
  out.resize(size);
  return out;
}

void put_be32(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[size_t(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

struct IccLengthCase {
  const char* name;
  uint8_t version;    // the profile's major version
  int payload_extra;  // bytes the payload has beyond the profile
  int header_extra;   // bytes the header length says beyond the profile
  int padding;        // zero bytes the PNG's copy adds to the payload
};

void PrintTo(const IccLengthCase& c, std::ostream* os) { *os << c.name; }

class PngIccLength : public ::testing::TestWithParam<IccLengthCase> {};

TEST_P(PngIccLength, ProfileKeptWithItsLengthSetToItsSize) {
  const IccLengthCase& c = GetParam();
  Bytes profile = test_icc_profile("Length off");
  profile[8] = c.version;
  const uint32_t whole = static_cast<uint32_t>(profile.size());
  Bytes payload = profile;
  payload.resize(payload.size() + size_t(c.payload_extra), 0x5A);
  put_be32(&payload, whole + uint32_t(c.header_extra));
  HeifRecipe s;
  s.icc = payload;
  const std::string in = scratch_path(std::string("icc_length_") + c.name + ".heic");
  write_heif(in, s);
  const std::string out = scratch_path(std::string("icc_length_") + c.name + ".png");
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_KEEP_METADATA), 1) << lumetra_last_error();
  const std::vector<PngChunk> chunks = png_chunks(read_file(out));
  ASSERT_EQ(count_chunks(chunks, "iCCP"), 1);
  Bytes expected = payload;
  expected.resize(expected.size() + size_t(c.padding), 0);
  put_be32(&expected, static_cast<uint32_t>(expected.size()));
  EXPECT_EQ(iccp_profile(chunks[size_t(first_chunk(chunks, "iCCP"))]), expected);
#ifndef _WIN32
  // The tool says what it repaired, and still succeeds.
  const std::string err = scratch_path(std::string("icc_length_") + c.name + ".err");
  const std::string cmd = std::string(LUMETRA_CLI) + " convert '" + in + "' '" + out + "' 2>'" + err + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const Bytes said = read_file(err);
  EXPECT_NE(std::string(said.begin(), said.end()).find("colour profile length repaired"), std::string::npos);
#endif
}

// A Samsung Display P3 photo's profile: 634 bytes, header saying 632, version 4.
INSTANTIATE_TEST_SUITE_P(Convert, PngIccLength,
                         ::testing::Values(IccLengthCase{"PayloadTwoLongerV4", 4, 2, 0, 2},
                                           IccLengthCase{"PayloadTwoLongerV2", 2, 2, 0, 0},
                                           IccLengthCase{"HeaderTwoLonger", 4, 0, 2, 0}),
                         [](const ::testing::TestParamInfo<IccLengthCase>& info) { return info.param.name; });

// ---- Thumbnails at their item's size

// Sets the height of the one ispe property of width x height to new_height
// (same byte count); false unless exactly one such box is found.
bool patch_ispe_height(Bytes* heif, uint32_t width, uint32_t height, uint32_t new_height) {
  const uint8_t head[8] = {0, 0, 0, 20, 'i', 's', 'p', 'e'};
  size_t found = 0, count = 0;
  for (size_t at = 0; at + 20 <= heif->size(); ++at) {
    const uint8_t* p = heif->data() + at;
    if (std::memcmp(p, head, 8) == 0 && be32(p + 12) == width && be32(p + 16) == height) found = at, ++count;
  }
  if (count != 1) return false;
  Bytes h(4);
  put_be32(&h, new_height);
  std::copy(h.begin(), h.end(), heif->begin() + long(found + 16));
  return true;
}

// Coded 320 x 256, said to be 320 x 212 by its ispe: rows from 212 on are black.
const int kCodedHeight = 256, kItemHeight = 212;

uint8_t banded_thumbnail(int, int y, int c) { return y < kItemHeight ? static_cast<uint8_t>(150 + 30 * c) : 0; }

std::string banded_thumbnail_heif() {
  const std::string path = scratch_path("ispe_thumbnail.heic");
  if (file_exists(path)) return path;
  HeifRecipe s;
  s.width = 640;
  s.height = 424;
  s.thumb_width = 320;
  s.thumb_height = kCodedHeight;
  s.thumb_pixel = banded_thumbnail;
  const std::string coded = scratch_path("ispe_thumbnail_coded.heic");
  write_heif(coded, s);
  Bytes heif = read_file(coded);
  if (!patch_ispe_height(&heif, 320, kCodedHeight, kItemHeight)) return "";
  write_file(path, heif);
  return path;
}

struct ThumbnailCase {
  const char* name;
  bool fitted;  // the tool's thumbnail; else lumetra_thumbnail
  const char* ext;
};

void PrintTo(const ThumbnailCase& c, std::ostream* os) { *os << c.name; }

class ThumbnailItemSize : public ::testing::TestWithParam<ThumbnailCase> {};

TEST_P(ThumbnailItemSize, CodedRowsBeyondTheItemAreCut) {
  const ThumbnailCase& c = GetParam();
  const std::string in = banded_thumbnail_heif();
  ASSERT_FALSE(in.empty()) << "no ispe box of 320 x 256 to patch";
  {
    // libheif reads the item's size from ispe and decodes the coded rows.
    heif_context* ctx = heif_context_alloc();
    ASSERT_EQ(heif_context_read_from_file(ctx, in.c_str(), nullptr).code, heif_error_Ok);
    heif_image_handle* primary = nullptr;
    heif_context_get_primary_image_handle(ctx, &primary);
    heif_item_id id = 0;
    ASSERT_EQ(heif_image_handle_get_list_of_thumbnail_IDs(primary, &id, 1), 1);
    heif_image_handle* thumb = nullptr;
    heif_image_handle_get_thumbnail(primary, id, &thumb);
    EXPECT_EQ(heif_image_handle_get_height(thumb), kItemHeight);
    heif_image_handle_release(thumb);
    heif_image_handle_release(primary);
    heif_context_free(ctx);
  }
  const std::string out = scratch_path(std::string("ispe_thumbnail_") + c.name + c.ext);
  const int ok = c.fitted ? thumbnail_fit(in.c_str(), out.c_str(), 320) : lumetra_thumbnail(in.c_str(), out.c_str());
  ASSERT_EQ(ok, 1) << lumetra_last_error();
  const Raster r = stb_load(out);
  EXPECT_EQ(r.width, 320);
  ASSERT_EQ(r.height, kItemHeight);
  for (int y = 0; y < r.height; ++y) {
    long sum = 0;
    for (int x = 0; x < r.width; ++x) sum += r.pixels[(size_t(y) * r.width + x) * r.channels];
    ASSERT_GT(sum / r.width, 100) << "dark row " << y;
  }
}

INSTANTIATE_TEST_SUITE_P(Thumbnail, ThumbnailItemSize,
                         ::testing::Values(ThumbnailCase{"LumetraJpeg", false, ".jpg"},
                                           ThumbnailCase{"LumetraPng", false, ".png"},
                                           ThumbnailCase{"FittedJpeg", true, ".jpg"},
                                           ThumbnailCase{"FittedPng", true, ".png"}),
                         [](const ::testing::TestParamInfo<ThumbnailCase>& info) { return info.param.name; });

// ---- EXIF Orientation kept where no irot/imir turned the pixels

// tiff:Orientation of an XMP packet written as an attribute; 0 when absent.
int xmp_orientation_attribute(const std::string& xmp) {
  const std::string key = "tiff:Orientation=\"";
  const size_t at = xmp.find(key);
  return at == std::string::npos || at + key.size() >= xmp.size() ? 0 : xmp[at + key.size()] - '0';
}

std::string xmp_packet(int orientation) {
  return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
         "<rdf:Description xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"" +
         std::to_string(orientation) + "\"/></rdf:RDF></x:xmpmeta>";
}

struct OrientationCase {
  const char* name;
  bool grid;
  int irot_orientation;  // EXIF orientation libheif writes as irot/imir; 1: none
  const char* ext;
  int expected;  // Orientation in the output's EXIF and XMP
};

void PrintTo(const OrientationCase& c, std::ostream* os) { *os << c.name; }

class ExifOrientationKept : public ::testing::TestWithParam<OrientationCase> {};

TEST_P(ExifOrientationKept, OnlyTurnedPixelsResetIt) {
  const OrientationCase& c = GetParam();
  const std::string in = scratch_path(std::string("orientation_") + c.name + ".heic");
  if (c.grid) {
    GridRecipe g;
    g.exif = exif_item(tiff_block(6));
    write_grid_heif(in, g);
  } else {
    HeifRecipe s;
    s.exif = exif_item(tiff_block(6));
    s.xmp_text = xmp_packet(6);
    s.orientation = c.irot_orientation;
    write_heif(in, s);
  }
  const std::string out = scratch_path(std::string("orientation_") + c.name + c.ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_KEEP_METADATA), 1) << lumetra_last_error();
  const Bytes file = read_file(out);
  Bytes tiff;
  std::string xmp;
  if (std::string(c.ext) == ".png") {
    for (const PngChunk& chunk : png_chunks(file)) {
      if (chunk.type == "eXIf") tiff = chunk.data;
      if (chunk.type == "iTXt") xmp.assign(chunk.data.begin(), chunk.data.end());
    }
  } else {
    jpeg_app1(file, &tiff, &xmp);
  }
  EXPECT_EQ(tiff_orientation(tiff), c.expected);
  if (!c.grid) EXPECT_EQ(xmp_orientation_attribute(xmp), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Convert, ExifOrientationKept,
                         ::testing::Values(OrientationCase{"NoIrotJpeg", false, 1, ".jpg", 6},
                                           OrientationCase{"NoIrotPng", false, 1, ".png", 6},
                                           OrientationCase{"NoIrotGridJpeg", true, 1, ".jpg", 6},
                                           OrientationCase{"IrotJpeg", false, 6, ".jpg", 1}),
                         [](const ::testing::TestParamInfo<OrientationCase>& info) { return info.param.name; });

// ---- 10- and 12-bit pictures to 8 bits: rounded to nearest

struct RoundingCase {
  const char* name;
  bool av1;
  int bit_depth;
  bool alpha;
  const char* ext;
};
void PrintTo(const RoundingCase& c, std::ostream* os) { *os << c.name; }

class DeepToEightBits : public ::testing::TestWithParam<RoundingCase> {};

// libheif's own 16-bit decode, each sample rounded here to 8 bits.
Raster rounded_reference(const std::string& path, bool alpha) {
  Raster r;
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* h = nullptr;
  heif_image* img = nullptr;
  if (heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok &&
      heif_decode_image(h, &img, heif_colorspace_RGB,
                        alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE, nullptr)
              .code == heif_error_Ok) {
    int stride = 0;
    const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
    const int bits = heif_image_get_bits_per_pixel_range(img, heif_channel_interleaved);
    const unsigned top = (1u << bits) - 1;
    r.width = heif_image_get_width(img, heif_channel_interleaved);
    r.height = heif_image_get_height(img, heif_channel_interleaved);
    r.channels = alpha ? 4 : 3;
    for (int y = 0; y < r.height; ++y) {
      for (int i = 0; i < r.width * r.channels; ++i) {
        const unsigned v = unsigned(p[y * stride + 2 * i]) << 8 | p[y * stride + 2 * i + 1];
        r.pixels.push_back(static_cast<uint8_t>(std::lround(v * 255.0 / top)));
      }
    }
  }
  if (img != nullptr) heif_image_release(img);
  if (h != nullptr) heif_image_handle_release(h);
  heif_context_free(ctx);
  return r;
}

TEST_P(DeepToEightBits, EverySampleRoundedToNearest) {
  const RoundingCase& c = GetParam();
  if (!libheif_encodes(c.av1, c.bit_depth)) GTEST_SKIP() << "no encoder for this depth";
  HeifRecipe s;
  s.width = 96, s.height = 64, s.av1 = c.av1, s.bit_depth = c.bit_depth, s.alpha = c.alpha, s.quality = 70;
  const std::string in = scratch_path(std::string("round_") + c.name + (c.av1 ? ".avif" : ".heic"));
  write_heif(in, s);
  const std::string out = scratch_path(std::string("round_") + c.name + c.ext);
  ASSERT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_KEEP_METADATA), 1) << lumetra_last_error();
  const Raster want = rounded_reference(in, c.alpha);
  const Raster got = stb_load(out);
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  ASSERT_EQ(got.channels, want.channels);
  size_t differing = 0;
  for (size_t i = 0; i < want.pixels.size(); ++i) differing += got.pixels[i] != want.pixels[i];
  EXPECT_EQ(differing, 0u) << "of " << want.pixels.size() << " samples";
}

INSTANTIATE_TEST_SUITE_P(Convert, DeepToEightBits,
                         ::testing::Values(RoundingCase{"hevc10_png", false, 10, false, ".png"},
                                           RoundingCase{"hevc10_alpha_png", false, 10, true, ".png"},
                                           RoundingCase{"av1_12_png", true, 12, false, ".png"},
                                           RoundingCase{"av1_10_bmp", true, 10, false, ".bmp"}),
                         [](const ::testing::TestParamInfo<RoundingCase>& info) { return info.param.name; });

}  // namespace
