// Outputs that say what the photo holds: one eXIf chunk per PNG, colour
// profiles kept in PNG, thumbnails at their item's size, EXIF Orientation
// kept where the pixels were not turned. Each checked by a reader of its
// own here (PNG chunks, JPEG markers, TIFF fields) or by libheif.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "fixtures.h"
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
  TiffSpec t;
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
    GridSpec g;
    g.exif = exif_item(tiff);
    write_grid_heif(in, g);
  } else {
    HeifSpec s;
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

}  // namespace
