#include "hdr/jpeg_gain_map.h"

#include <cstring>
#include <new>
#include <vector>

#include "base/byte_order.h"
#include "formats/jpeg_reader.h"
#include "formats/metadata.h"
#include "hdr/apple_gain_map.h"

namespace {

const char kIsoUrn[] = "urn:iso:std:iso:ts:21496:-1";         // with its zero
const char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";  // with its zero
const char kHdrgmUri[] = "http://ns.adobe.com/hdr-gain-map/1.0/";
const char kDamagedIndex[] = "the gain map's MPF index is damaged";

// Images of the index looked at: phones write two or three.
const uint32_t kMaxImages = 16;

// What this reader needs of one JPEG's header (the primary's or an indexed
// image's); offsets count from that JPEG's first byte.
struct Header {
  std::string xmp;
  ByteBlock exif;  // TIFF data
  bool has_iso = false;
  size_t iso_at = 0, iso_size = 0;   // the ISO record after its URN
  size_t mpf_tiff = 0, mpf_end = 0;  // the MPF's TIFF header and its segment's end; 0 when none
};

Header read_header(const uint8_t* p, size_t size) {
  Header h;
  for (const JpegSegment& seg : jpeg_segments(p, size)) {
    const uint8_t* d = p + seg.at;
    const size_t n = seg.size;
    if (seg.marker == 0xE1 && n >= sizeof kXmpSignature && std::memcmp(d, kXmpSignature, sizeof kXmpSignature) == 0) {
      if (h.xmp.empty()) h.xmp.assign(d + sizeof kXmpSignature, d + n);
    } else if (seg.marker == 0xE1 && n >= 6 && std::memcmp(d, "Exif\0\0", 6) == 0 && h.exif.empty()) {
      const long tiff = find_tiff_header(d + 6, n - 6);
      if (tiff >= 0) h.exif.assign(d + 6 + tiff, d + n);
    } else if (seg.marker == 0xE2 && n >= sizeof kIsoUrn && std::memcmp(d, kIsoUrn, sizeof kIsoUrn) == 0) {
      if (!h.has_iso) h.has_iso = true, h.iso_at = seg.at + sizeof kIsoUrn, h.iso_size = n - sizeof kIsoUrn;
    } else if (seg.marker == 0xE2 && n >= 4 && std::memcmp(d, "MPF\0", 4) == 0 && h.mpf_end == 0) {
      h.mpf_tiff = seg.at + 4;
      h.mpf_end = seg.at + n;
    }
  }
  return h;
}

struct Indexed {
  size_t start, size;
};

// The images the MPF index lists after the primary and that lie inside the
// file. False with *why when the index cannot be read; *why alone when an
// image lies beyond the file.
bool indexed_images(const uint8_t* file, size_t file_size, const Header& primary, std::vector<Indexed>* out,
                    std::string* why) {
  const uint8_t* h = file + primary.mpf_tiff;
  const size_t length = primary.mpf_end - primary.mpf_tiff;
  if (length < 8 || (std::memcmp(h, "MM\0*", 4) != 0 && std::memcmp(h, "II*\0", 4) != 0)) {
    *why = kDamagedIndex;
    return false;
  }
  const TiffReader t{h, length, h[0] == 'M'};
  const size_t ifd = t.u32(4);
  const size_t count_entry = t.entry(ifd, 0xB001), list_entry = t.entry(ifd, 0xB002);
  const uint32_t bytes = list_entry == 0 ? 0 : t.u32(list_entry + 4);
  const size_t list = list_entry == 0 ? 0 : t.u32(list_entry + 8);
  const uint32_t images = bytes / 16;
  if (list_entry == 0 || bytes % 16 != 0 || images == 0 || !t.has(list, bytes) ||
      (count_entry != 0 && t.u32(count_entry + 8) != images)) {
    *why = kDamagedIndex;
    return false;
  }
  for (uint32_t i = 1; i < images && i < kMaxImages; ++i) {
    const size_t size = t.u32(list + 16 * size_t(i) + 4), offset = t.u32(list + 16 * size_t(i) + 8);
    if (offset == 0) continue;  // an image not in this file
    const uint64_t start = uint64_t(primary.mpf_tiff) + offset;
    if (size < 4 || start > file_size || size > file_size - start) {
      *why = "the gain map's MPF index points beyond the end of the file";
      continue;
    }
    out->push_back(Indexed{size_t(start), size});
  }
  return true;
}

struct Candidate {
  GainMapKind kind = GainMapKind::None;
  GainMapMetadata metadata;
  double apple_headroom = 0;
  Indexed image{0, 0};
  std::string why;  // set when the image is a gain map whose metadata cannot be used
};

int preference(GainMapKind kind) {
  return kind == GainMapKind::Iso21496 ? 0 : kind == GainMapKind::HdrgmXmp ? 1 : kind == GainMapKind::Apple ? 2 : 3;
}

// What an indexed image is as a gain map: ISO record first, then hdrgm XMP,
// then Apple's XMP. The ISO record is read only where the primary's version
// record (when there is one) asks for no newer reader.
Candidate examine(const uint8_t* file, const Indexed& image, const Header& primary, bool iso_readable) {
  Candidate c;
  c.image = image;
  const uint8_t* p = file + image.start;
  if (p[0] != 0xFF || p[1] != 0xD8) return c;
  const Header h = read_header(p, image.size);
  const char* why = nullptr;
  if (iso_readable && h.has_iso && h.iso_size > 4) {
    // The APP2 record is the 'tmap' payload without its version byte.
    ByteBlock payload(1, 0);
    payload.insert(payload.end(), p + h.iso_at, p + h.iso_at + h.iso_size);
    if (parse_tmap_payload(payload.data(), payload.size(), &c.metadata, &why)) {
      if (!base_is_hdr(c.metadata)) {
        c.kind = GainMapKind::Iso21496;
        return c;
      }
      why = "gain map metadata describes the 8-bit JPEG as the HDR picture";
    }
  }
  const char* xmp_why = "gain map has no usable hdrgm metadata";
  if (parse_hdrgm_xmp(h.xmp, &c.metadata) && gain_map_metadata_usable(c.metadata, &xmp_why)) {
    c.kind = GainMapKind::HdrgmXmp;
    return c;
  }
  if (why == nullptr && h.xmp.find(kHdrgmUri) != std::string::npos) why = xmp_why;
  if (is_apple_gain_map_xmp(h.xmp)) {
    const char* apple_why = nullptr;
    c.apple_headroom = apple_headroom(h.xmp, primary.exif.data(), primary.exif.size());
    if (apple_iso_model(c.apple_headroom, &c.metadata, &apple_why)) {
      c.kind = GainMapKind::Apple;
      return c;
    }
    if (why == nullptr) why = apple_why;
  }
  if (why != nullptr) c.why = why;
  return c;
}

bool decode(const uint8_t* file, size_t size, const Candidate& c, GainMap* out, std::string* why) {
  int width = 0, height = 0, components = 0, map_width = 0, map_height = 0, map_components = 0;
  const uint8_t* p = file + c.image.start;
  if (!read_jpeg_size(file, size, &width, &height, &components) ||
      !read_jpeg_size(p, c.image.size, &map_width, &map_height, &map_components)) {
    *why = "gain map cannot be decoded";
    return false;
  }
  if (int64_t(map_width) * map_height > int64_t(width) * height) {
    *why = "gain map is larger than the picture";
    return false;
  }
  if (!gain_map_lines_up(map_width, map_height, width, height)) {
    *why = "gain map does not line up with the picture";
    return false;
  }
  const int channels = c.metadata.multichannel || map_components >= 3 ? 3 : 1;
  GainMap map;
  if (!load_jpeg_8bit(p, c.image.size, channels, uint64_t(width) * uint64_t(height), &map.pixels, &map.width,
                      &map.height)) {
    *why = "gain map cannot be decoded";
    return false;
  }
  if (c.kind == GainMapKind::Apple) {
    apple_samples_to_iso(c.metadata, c.apple_headroom, map.pixels.data(), map.pixels.size());
  }
  map.kind = c.kind;
  map.metadata = c.metadata;
  map.channels = channels;
  *out = std::move(map);
  return true;
}

bool load(const uint8_t* jpeg, size_t size, GainMap* out, std::string* why) {
  const Header primary = read_header(jpeg, size);
  if (primary.mpf_end == 0) return true;
  // Whether the primary says it has a gain map: a damaged index is then the
  // gain map's loss, not only a camera's preview image's.
  const bool announced = primary.has_iso || primary.xmp.find(kHdrgmUri) != std::string::npos;
  std::vector<Indexed> images;
  std::string index_why;
  if (!indexed_images(jpeg, size, primary, &images, &index_why)) {
    if (announced) *why = index_why;
    return !announced;
  }
  // A version record the primary carries: its minimum version first.
  const bool iso_readable =
      !primary.has_iso || (primary.iso_size >= 2 && jpeg[primary.iso_at] == 0 && jpeg[primary.iso_at + 1] == 0);
  Candidate best;
  std::string unusable;
  for (const Indexed& image : images) {
    if ((jpeg[image.start] != 0xFF || jpeg[image.start + 1] != 0xD8) && index_why.empty()) {
      index_why = "the gain map's MPF index points at something other than a JPEG";
    }
    Candidate c = examine(jpeg, image, primary, iso_readable);
    if (c.kind == GainMapKind::None && !c.why.empty() && unusable.empty()) unusable = c.why;
    if (preference(c.kind) < preference(best.kind)) best = std::move(c);
  }
  if (best.kind != GainMapKind::None) return decode(jpeg, size, best, out, why);
  if (!unusable.empty()) {
    *why = unusable;
    return false;
  }
  if (announced && !index_why.empty()) {
    *why = index_why;
    return false;
  }
  if (announced) {
    *why = "the gain map the picture announces is not in the file";
    return false;
  }
  return true;
}

}  // namespace

bool load_jpeg_gain_map(const uint8_t* jpeg, size_t size, GainMap* out, std::string* why) {
  *out = GainMap();
  try {
    return load(jpeg, size, out, why);
  } catch (const std::bad_alloc&) {
    *out = GainMap();
    *why = "out of memory reading the gain map";
    return false;
  }
}
