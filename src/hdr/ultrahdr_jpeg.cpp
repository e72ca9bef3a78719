#include "hdr/ultrahdr_jpeg.h"

#include <cstring>
#include <string>

#include "hdr/gain_map.h"
#include "hdr/gain_map_metadata.h"

namespace {

thread_local std::string hdr_note;

const char kIsoNamespace[] = "urn:iso:std:iso:ts:21496:-1";  // written with its zero
const char kXmpOpen[] =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">";
const char kXmpClose[] = "</rdf:RDF></x:xmpmeta>";

// Measured on the six corpus gain-map photos with the tests' renderer:
// quality 75 / 85 / 95 leave the map within 0.002-0.005 / 0.002-0.004 /
// 0.001-0.002 stops on average and make the iPhone 16 Pro photo's JPEG
// 1.07 / 1.12 / 1.27 times its SDR bytes; 95 costs a sixth more for a
// difference no screen shows.
const int kGainMapQuality = 85;

// The MPF APP2 payload: "MPF\0", a big-endian TIFF header, one IFD with
// the version, the number of images and their entries, then the entries.
const size_t kMpfSize = 4 + 8 + 2 + 3 * 12 + 4 + 2 * 16;
const size_t kMpfEntriesAt = 4 + 8 + 2 + 3 * 12 + 4;  // from the payload's start
const size_t kMpfTiffAt = 4;

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24), p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8), p[3] = static_cast<uint8_t>(v);
}

void put16(uint8_t* p, uint32_t v) { p[0] = static_cast<uint8_t>(v >> 8), p[1] = static_cast<uint8_t>(v); }

// Sizes and offsets are zero here; finish() writes them once known.
ByteBlock mpf_template() {
  ByteBlock b(kMpfSize, 0);
  uint8_t* p = b.data();
  std::memcpy(p, "MPF\0MM\0*", 8);
  put32(p + 8, 8);  // IFD right after the header
  uint8_t* ifd = p + kMpfTiffAt + 8;
  put16(ifd, 3);
  const struct {
    uint32_t tag, type, count, value;
  } entries[] = {{0xB000, 7, 4, 0x30313030},  // MPFVersion "0100"
                 {0xB001, 4, 1, 2},           // NumberOfImages
                 {0xB002, 7, 32, static_cast<uint32_t>(kMpfEntriesAt - kMpfTiffAt)}};
  for (int i = 0; i < 3; ++i) {
    uint8_t* e = ifd + 2 + 12 * i;
    put16(e, entries[i].tag);
    put16(e + 2, entries[i].type);
    put32(e + 4, entries[i].count);
    put32(e + 8, entries[i].value);
  }
  return b;  // next-IFD offset and entries stay zero
}

std::string container_description(size_t gain_map_length) {
  return "<rdf:Description rdf:about=\"\" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\""
         " xmlns:Container=\"http://ns.google.com/photos/1.0/container/\""
         " xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" hdrgm:Version=\"1.0\">"
         "<Container:Directory><rdf:Seq>"
         "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/>"
         "</rdf:li><rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"GainMap\""
         " Item:Mime=\"image/jpeg\" Item:Length=\"" +
         std::to_string(gain_map_length) + "\"/></rdf:li></rdf:Seq></Container:Directory></rdf:Description>";
}

// The photo's own packet with the HDR description added to its RDF; a
// packet of its own when the photo has none (or one without an RDF end).
ByteBlock merged_xmp(const ByteBlock& photo, const std::string& description) {
  const std::string text(photo.begin(), photo.end());
  const size_t end = text.rfind("</rdf:RDF>");
  const bool declared = text.find("http://ns.adobe.com/hdr-gain-map/1.0/") != std::string::npos ||
                        text.find("http://ns.google.com/photos/1.0/container/") != std::string::npos;
  std::string out;
  if (end == std::string::npos || declared) {
    out = kXmpOpen + description + kXmpClose;
  } else {
    out = text.substr(0, end) + description + text.substr(end);
  }
  return ByteBlock(out.begin(), out.end());
}

ByteBlock iso_segment(const ByteBlock& record) {
  ByteBlock b(sizeof kIsoNamespace + record.size());
  std::memcpy(b.data(), kIsoNamespace, sizeof kIsoNamespace);
  if (!record.empty()) std::memcpy(b.data() + sizeof kIsoNamespace, record.data(), record.size());
  return b;
}

}  // namespace

const char* last_hdr_note() { return hdr_note.c_str(); }

void clear_hdr_note() { hdr_note.clear(); }

void set_hdr_note(const std::string& why) { hdr_note = why; }

void UltraHdrAppendix::prepare(heif_context* ctx, heif_image_handle* image, PictureMetadata* md) {
  hdr_note.clear();
  active_ = false;
  GainMap map;
  std::string why;
  if (!load_gain_map(ctx, image, &map, &why)) {
    hdr_note = why;
    return;
  }
  if (map.kind == GainMapKind::None) return;
  if (base_is_hdr(map.metadata)) {
    hdr_note = "the picture is the HDR rendition of its gain map: its SDR rendition carries the map";
    return;
  }
  prepare(map, md);
}

void UltraHdrAppendix::prepare(const GainMap& map, PictureMetadata* md) {
  active_ = false;
  PictureMetadata gain_md;
  const std::string gain_xmp = kXmpOpen + hdrgm_description(map.metadata) + kXmpClose;
  gain_md.xmp.assign(gain_xmp.begin(), gain_xmp.end());
  JpegExtras gain_extras;
  gain_extras.app2.push_back(iso_segment(iso_gain_map_record(map.metadata)));
  const PixelRows rows{
      map.pixels.data(), static_cast<size_t>(map.width) * map.channels, map.width, map.height, map.channels, 8};
  if (!encode_jpeg(rows, kGainMapQuality, gain_md, &gain_extras, &gain_map_jpeg_)) {
    hdr_note = "gain map could not be encoded";
    gain_map_jpeg_.clear();
    return;
  }
  ByteBlock xmp = merged_xmp(md->xmp, container_description(gain_map_jpeg_.size()));
  const size_t kXmpSignatureLength = 29;  // "http://ns.adobe.com/xap/1.0/" and its zero
  if (xmp.size() + kXmpSignatureLength > kJpegSegmentMax) {
    hdr_note = "the photo's XMP is too large to take the HDR description as well";
    gain_map_jpeg_.clear();
    return;
  }
  md->xmp = std::move(xmp);
  extras_.app2.clear();
  extras_.app2.push_back(iso_segment(ByteBlock(4, 0)));  // minimum and writer version
  extras_.app2.push_back(mpf_template());
  active_ = true;
}

bool UltraHdrAppendix::finish(FILE* f) const {
  if (!active_) return true;
  const size_t mpf_marker = extras_.header_bytes - (4 + kMpfSize);
  const size_t tiff = mpf_marker + 4 + kMpfTiffAt;
  const size_t primary = extras_.total_bytes;
  if (extras_.header_bytes < 4 + kMpfSize || primary <= extras_.header_bytes || primary > 0xFFFFFFFFu ||
      gain_map_jpeg_.size() > 0xFFFFFFFFu) {
    return false;
  }
  uint8_t entries[32] = {};
  put32(entries, 0x030000);  // baseline MP primary image, JPEG
  put32(entries + 4, static_cast<uint32_t>(primary));
  put32(entries + 20, static_cast<uint32_t>(gain_map_jpeg_.size()));
  put32(entries + 24, static_cast<uint32_t>(primary - tiff));  // offsets count from the MPF TIFF header
  return std::fseek(f, static_cast<long>(mpf_marker + 4 + kMpfEntriesAt), SEEK_SET) == 0 &&
         std::fwrite(entries, 1, sizeof entries, f) == sizeof entries && std::fseek(f, 0, SEEK_END) == 0 &&
         std::fwrite(gain_map_jpeg_.data(), 1, gain_map_jpeg_.size(), f) == gain_map_jpeg_.size() &&
         std::fflush(f) == 0;
}
