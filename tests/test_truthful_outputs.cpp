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
#include "hdr_fixtures.h"
#include "lumetra.h"

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// ---- PNG chunks, read here

struct PngChunk {
  std::string type;
  Bytes data;
};

// Every chunk of a PNG file in order, each CRC checked; empty (with a
// failure recorded) for a file that is not a well-formed chunk sequence.
std::vector<PngChunk> png_chunks(const Bytes& png) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<PngChunk> chunks;
  if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0) {
    ADD_FAILURE() << "no PNG signature";
    return {};
  }
  size_t at = 8;
  while (at < png.size()) {
    if (png.size() - at < 12) {
      ADD_FAILURE() << "chunk header cut off at " << at;
      return {};
    }
    const uint32_t length = be32(&png[at]);
    if (length > png.size() - at - 12) {
      ADD_FAILURE() << "chunk runs past the file at " << at;
      return {};
    }
    PngChunk c;
    c.type.assign(reinterpret_cast<const char*>(&png[at + 4]), 4);
    c.data.assign(png.begin() + long(at + 8), png.begin() + long(at + 8 + length));
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), &png[at + 4], length + 4);
    if (crc != be32(&png[at + 8 + length])) {
      ADD_FAILURE() << "bad CRC on " << c.type;
      return {};
    }
    chunks.push_back(c);
    at += 12 + length;
  }
  return chunks;
}

int count_chunks(const std::vector<PngChunk>& chunks, const char* type) {
  int n = 0;
  for (const PngChunk& c : chunks) n += c.type == type;
  return n;
}

// Index of the first chunk of this type, or -1.
int first_chunk(const std::vector<PngChunk>& chunks, const char* type) {
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (chunks[i].type == type) return static_cast<int>(i);
  }
  return -1;
}

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

// IFD0's Orientation of TIFF data, read here; 0 when there is none.
int tiff_orientation(const Bytes& tiff) {
  if (tiff.size() < 8) return 0;
  const bool little = tiff[0] == 'I';
  auto u16 = [&](size_t at) { return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1]; };
  auto u32 = [&](size_t at) { return little ? uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16 : be32(&tiff[at]); };
  const uint32_t ifd = u32(4);
  if (ifd > tiff.size() - 2) return 0;
  const int entries = u16(ifd);
  for (int i = 0; i < entries && ifd + 2 + 12 * size_t(i + 1) <= tiff.size(); ++i) {
    const size_t e = ifd + 2 + 12 * size_t(i);
    if (u16(e) == 0x0112) return u16(e + 8);
  }
  return 0;
}

// The TIFF data and XMP packet of a JPEG's APP1 segments, walked marker by marker.
void jpeg_app1(const Bytes& jpeg, Bytes* tiff, std::string* xmp) {
  static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (length < 2 || at + 2 + length > jpeg.size()) return;
    const uint8_t* body = &jpeg[at + 4];
    const size_t n = length - 2;
    if (jpeg[at + 1] == 0xE1 && n > 6 && std::memcmp(body, "Exif\0\0", 6) == 0) tiff->assign(body + 6, body + n);
    if (jpeg[at + 1] == 0xE1 && n > sizeof kXmp && std::memcmp(body, kXmp, sizeof kXmp) == 0)
      xmp->assign(reinterpret_cast<const char*>(body) + sizeof kXmp, n - sizeof kXmp);
    at += 2 + length;
  }
}

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

// The ICC profile a JPEG (APP2 "ICC_PROFILE" segments in order) or a PNG
// (its iCCP chunk, inflated) carries; empty when none.
Bytes carried_profile(const Bytes& file, bool png) {
  Bytes icc;
  if (png) {
    for (const PngChunk& c : png_chunks(file)) {
      if (c.type != "iCCP") continue;
      const size_t name_end = std::find(c.data.begin(), c.data.end(), 0) - c.data.begin();
      if (name_end + 2 > c.data.size()) return {};
      uLongf size = 1 << 20;
      icc.resize(size);
      if (uncompress(icc.data(), &size, &c.data[name_end + 2], uLong(c.data.size() - name_end - 2)) != Z_OK) return {};
      icc.resize(size);
    }
    return icc;
  }
  static const char kSig[] = "ICC_PROFILE";
  size_t at = 2;
  while (at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != 0xDA) {
    const size_t length = size_t(file[at + 2]) << 8 | file[at + 3];
    if (length < 2 || at + 2 + length > file.size()) return {};
    const uint8_t* body = &file[at + 4];
    if (file[at + 1] == 0xE2 && length - 2 > sizeof kSig + 2 && std::memcmp(body, kSig, sizeof kSig) == 0)
      icc.insert(icc.end(), body + sizeof kSig + 2, body + length - 2);
    at += 2 + length;
  }
  return icc;
}

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

}  // namespace
