#include "output_readers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

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
