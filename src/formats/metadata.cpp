#include "formats/metadata.h"

#include <zlib.h>
#include <cstdio>
#include <cstring>

#include "base/platform.h"
#include "formats/jpeg_quality.h"

namespace {

uint16_t get16(const uint8_t* p, bool little) {
  return little ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p, bool little) {
  return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Where IFD0's Orientation value lies (a SHORT of count 1), or nullptr.
uint8_t* orientation_value(uint8_t* t, size_t n, bool* little) {
  if (n < 8) return nullptr;
  if (std::memcmp(t, "II*\0", 4) == 0)
    *little = true;
  else if (std::memcmp(t, "MM\0*", 4) == 0)
    *little = false;
  else
    return nullptr;
  const uint64_t ifd = get32(t + 4, *little);
  if (ifd + 2 > n) return nullptr;
  const uint16_t entries = get16(t + ifd, *little);
  for (uint64_t i = 0, e = ifd + 2; i < entries && e + 12 <= n; ++i, e += 12) {
    if (get16(t + e, *little) == 0x0112 && get16(t + e + 2, *little) == 3 && get32(t + e + 4, *little) == 1) {
      return t + e + 8;
    }
  }
  return nullptr;
}

// The digit of tiff:Orientation="N" or <tiff:Orientation>N<, or npos.
size_t xmp_orientation_digit(const ByteBlock& x) {
  static const char kKey[] = "tiff:Orientation";
  const std::string text(x.begin(), x.end());
  for (size_t at = text.find(kKey); at != std::string::npos; at = text.find(kKey, at + 1)) {
    size_t p = at + sizeof kKey - 1;
    if (p < text.size() && text[p] == '=') {
      ++p;
      if (p < text.size() && (text[p] == '"' || text[p] == '\'')) ++p;
    } else if (p < text.size() && text[p] == '>') {
      ++p;
    } else {
      continue;
    }
    if (p + 1 < text.size() && text[p] >= '1' && text[p] <= '8' && (text[p + 1] < '0' || text[p + 1] > '9')) return p;
  }
  return std::string::npos;
}

// zlib stream to bytes, at most `limit` of them.
bool inflate_all(const uint8_t* data, size_t size, size_t limit, ByteBlock* out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  int rc = Z_OK;
  uint8_t chunk[16384];
  while (rc == Z_OK) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
    if (out->size() > limit) rc = Z_MEM_ERROR;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

const size_t kMaxMetadata = 64u << 20;

// APP1 Exif and XMP, APP2 ICC_PROFILE chunks (joined in sequence order),
// up to the first scan.
void walk_jpeg(const ByteBlock& b, PictureMetadata* md) {
  static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";  // and its zero
  std::vector<ByteBlock> icc_parts;
  for (const JpegSegment& seg : jpeg_segments(b.data(), b.size())) {
    const uint8_t* s = b.data() + seg.at;
    const size_t n = seg.size;
    if (seg.marker == 0xE1 && n >= 6 && std::memcmp(s, "Exif\0\0", 6) == 0 && md->exif.empty()) {
      md->exif.assign(s + 6, s + n);
    } else if (seg.marker == 0xE1 && n >= sizeof kXmp && std::memcmp(s, kXmp, sizeof kXmp) == 0 && md->xmp.empty()) {
      md->xmp.assign(s + sizeof kXmp, s + n);
    } else if (seg.marker == 0xE2 && n >= 14 && std::memcmp(s, "ICC_PROFILE\0", 12) == 0) {
      const unsigned seq = s[12], count = s[13];
      if (seq >= 1 && seq <= count) {
        if (icc_parts.size() < count) icc_parts.resize(count);
        icc_parts[seq - 1].assign(s + 14, s + n);
      }
    }
  }
  bool complete = !icc_parts.empty();
  for (const ByteBlock& part : icc_parts) complete = complete && !part.empty();
  if (complete) {
    for (const ByteBlock& part : icc_parts) md->icc.insert(md->icc.end(), part.begin(), part.end());
  }
}

// iCCP (compressed), eXIf, iTXt XML:com.adobe.xmp (plain or compressed),
// up to the first IDAT.
void walk_png(const ByteBlock& b, PictureMetadata* md) {
  size_t p = 8;
  while (p + 12 <= b.size()) {
    const uint32_t len = get32(b.data() + p, false);
    if (len > b.size() - p - 12) break;
    const char* type = reinterpret_cast<const char*>(b.data() + p + 4);
    const uint8_t* d = b.data() + p + 8;
    if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) break;
    if (std::memcmp(type, "iCCP", 4) == 0 && md->icc.empty()) {
      const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(d, 0, len));
      if (zero != nullptr && zero + 2 <= d + len && zero[1] == 0) {
        ByteBlock icc;
        if (inflate_all(zero + 2, d + len - zero - 2, kMaxMetadata, &icc)) md->icc.swap(icc);
      }
    } else if (std::memcmp(type, "eXIf", 4) == 0 && md->exif.empty()) {
      md->exif.assign(d, d + len);
    } else if (std::memcmp(type, "iTXt", 4) == 0 && md->xmp.empty() && len > 18 &&
               std::memcmp(d, "XML:com.adobe.xmp\0", 18) == 0 && len >= 20) {
      const bool compressed = d[18] != 0;
      // Language tag and translated keyword, each ended by a zero.
      const uint8_t* q = d + 20;
      const uint8_t* end = d + len;
      for (int i = 0; i < 2 && q < end; ++i) {
        const uint8_t* z = static_cast<const uint8_t*>(std::memchr(q, 0, end - q));
        q = z == nullptr ? end : z + 1;
      }
      if (q <= end) {
        if (!compressed)
          md->xmp.assign(q, end);
        else
          inflate_all(q, end - q, kMaxMetadata, &md->xmp);
      }
    }
    p += 12 + len;
  }
}

}  // namespace

std::vector<JpegSegment> jpeg_segments(const uint8_t* b, size_t size) {
  std::vector<JpegSegment> out;
  if (size < 2 || b[0] != 0xFF || b[1] != 0xD8) return out;
  size_t p = 2;
  while (p + 4 <= size && b[p] == 0xFF) {
    const uint8_t marker = b[p + 1];
    if (marker == 0xDA || marker == 0xD9) break;
    if (marker == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    const size_t len = size_t(b[p + 2]) << 8 | b[p + 3];
    if (len < 2 || len > size - p - 2) break;
    out.push_back(JpegSegment{marker, p + 4, len - 2});
    p += 2 + len;
  }
  return out;
}

long find_tiff_header(const uint8_t* block, size_t size) {
  for (size_t i = 0; i + 8 <= size; ++i) {
    if ((block[i] == 'I' && block[i + 1] == 'I' && block[i + 2] == 0x2A && block[i + 3] == 0) ||
        (block[i] == 'M' && block[i + 1] == 'M' && block[i + 2] == 0 && block[i + 3] == 0x2A)) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

int exif_orientation(const ByteBlock& tiff) {
  bool little = false;
  // orientation_value only finds the value; nothing is written here.
  const uint8_t* v = orientation_value(const_cast<uint8_t*>(tiff.data()), tiff.size(), &little);
  if (v == nullptr) return 0;
  const int o = get16(v, little);
  return o >= 1 && o <= 8 ? o : 0;
}

bool set_exif_orientation(ByteBlock* tiff, int value) {
  bool little = false;
  uint8_t* v = orientation_value(tiff->data(), tiff->size(), &little);
  if (v == nullptr) return false;
  v[little ? 0 : 1] = static_cast<uint8_t>(value);
  v[little ? 1 : 0] = 0;
  return true;
}

int xmp_orientation(const ByteBlock& xmp) {
  const size_t at = xmp_orientation_digit(xmp);
  return at == std::string::npos ? 0 : xmp[at] - '0';
}

bool set_xmp_orientation(ByteBlock* xmp, int value) {
  const size_t at = xmp_orientation_digit(*xmp);
  if (at == std::string::npos) return false;
  (*xmp)[at] = static_cast<uint8_t>('0' + value);
  return true;
}

bool read_whole_file(const char* path, ByteBlock* out) {
  FILE* f = platform::open_file(path, "rb");
  if (f == nullptr) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

PictureMetadata raster_metadata(const ByteBlock& b) {
  PictureMetadata md;
  const bool jpeg = b.size() >= 8 && b[0] == 0xFF && b[1] == 0xD8;
  const bool png = b.size() >= 8 && std::memcmp(b.data(), "\x89PNG\r\n\x1a\n", 8) == 0;
  if (jpeg) {
    walk_jpeg(b, &md);
    md.jpeg_quality = estimate_jpeg_quality(b.data(), b.size());
  } else if (png) {
    walk_png(b, &md);
  }
  // A block whose TIFF header is not at its start is taken from the header.
  if (!md.exif.empty()) {
    const long at = find_tiff_header(md.exif.data(), md.exif.size());
    if (at < 0)
      md.exif.clear();
    else
      md.exif.erase(md.exif.begin(), md.exif.begin() + at);
  }
  return md;
}

bool read_metadata_carrier(const char* path, ByteBlock* out) {
  uint8_t head[8] = {};
  if (FILE* f = platform::open_file(path, "rb")) {
    const size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (got < sizeof head) return false;
  }
  const bool jpeg = head[0] == 0xFF && head[1] == 0xD8;
  const bool png = std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0;
  return (jpeg || png) && read_whole_file(path, out);
}

PictureMetadata read_raster_metadata(const char* path) {
  ByteBlock b;
  return read_metadata_carrier(path, &b) ? raster_metadata(b) : PictureMetadata{};
}
