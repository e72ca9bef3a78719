#include "hdr/ultrahdr_jpeg.h"

#include <cstring>
#include <exception>
#include <string>

#include "hdr/gain_map.h"
#include "hdr/gain_map_metadata.h"
#include "heif/primary_image.h"

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

// The gain map's length in the primary's XMP is written once the map is
// encoded: digits, the closing quote, then spaces up to this fixed width.
const size_t kLengthField = 11;
const char kLengthKey[] = "Item:Semantic=\"GainMap\" Item:Mime=\"image/jpeg\" Item:Length=\"";

std::string container_description() {
  return "<rdf:Description rdf:about=\"\" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\""
         " xmlns:Container=\"http://ns.google.com/photos/1.0/container/\""
         " xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" hdrgm:Version=\"1.0\">"
         "<Container:Directory><rdf:Seq>"
         "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/>"
         "</rdf:li><rdf:li rdf:parseType=\"Resource\"><Container:Item " +
         std::string(kLengthKey) + std::string(kLengthField, ' ') +
         "/></rdf:li></rdf:Seq></Container:Directory></rdf:Description>";
}

ByteBlock iso_segment(const ByteBlock& record) {
  ByteBlock b(sizeof kIsoNamespace + record.size());
  std::memcpy(b.data(), kIsoNamespace, sizeof kIsoNamespace);
  if (!record.empty()) std::memcpy(b.data() + sizeof kIsoNamespace, record.data(), record.size());
  return b;
}

// The length as it stands in the field: digits, quote, spaces.
std::string length_field(size_t length) {
  std::string field = std::to_string(length) + "\"";
  field.resize(kLengthField, ' ');
  return field;
}

// The map as the second JPEG: its pixels with the metadata in both forms.
bool encode_gain_map(const GainMap& map, ByteBlock* jpeg) {
  PictureMetadata gain_md;
  const std::string gain_xmp = kXmpOpen + hdrgm_description(map.metadata) + kXmpClose;
  gain_md.xmp.assign(gain_xmp.begin(), gain_xmp.end());
  JpegExtras gain_extras;
  gain_extras.app2.push_back(iso_segment(iso_gain_map_record(map.metadata)));
  const PixelRows rows{
      map.pixels.data(), static_cast<size_t>(map.width) * map.channels, map.width, map.height, map.channels, 8};
  return encode_jpeg(rows, kGainMapQuality, gain_md, &gain_extras, jpeg);
}

// Decodes and encodes the map of the image with this item id in a context
// of its own; *why says why not.
void make_gain_map(const HeifFileBytes* file, heif_context* shared, heif_item_id image_id, ByteBlock* jpeg,
                   std::string* why) {
  ContextHolder own;
  heif_context* ctx = shared;
  if (file != nullptr) {
    if (!reopen_heif_bytes(*file, &own)) {
      *why = "gain map image cannot be opened";
      return;
    }
    ctx = own.get();
  }
  HandleHolder image;
  GainMap map;
  if (heif_context_get_image_handle(ctx, image_id, image.out()).code != heif_error_Ok || !image) {
    *why = "gain map image cannot be opened";
  } else if (load_gain_map(ctx, image.get(), &map, why)) {
    if (map.kind == GainMapKind::None) {
      *why = "gain map image cannot be opened";
    } else if (!encode_gain_map(map, jpeg)) {
      *why = "gain map could not be encoded";
    }
  }
  if (!why->empty()) jpeg->clear();
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

}  // namespace

const char* last_hdr_note() { return hdr_note.c_str(); }

void clear_hdr_note() { hdr_note.clear(); }

void set_hdr_note(const std::string& why) { hdr_note = why; }

UltraHdrAppendix::~UltraHdrAppendix() { wait(); }

void UltraHdrAppendix::wait() {
  if (worker_.joinable()) worker_.join();
}

void UltraHdrAppendix::prepare(heif_context* ctx, heif_image_handle* image, PictureMetadata* md,
                               const HeifFileBytes* file) {
  hdr_note.clear();
  active_ = map_failed_ = false;
  const GainMapFacts facts = describe_gain_map(ctx, image);
  if (facts.kind == GainMapKind::None) return;
  if (!facts.unusable.empty()) {
    hdr_note = facts.unusable;
    return;
  }
  if (facts.base_is_hdr) {
    hdr_note = "the picture is the HDR rendition of its gain map: its SDR rendition carries the map";
    return;
  }
  start_primary_part(md);
  if (!active_) return;
  const heif_item_id id = heif_image_handle_get_item_id(image);
  map_why_.clear();
  gain_map_jpeg_.clear();
  if (file != nullptr) {
    try {
      worker_ = std::thread([this, file, id] {
        try {
          make_gain_map(file, nullptr, id, &gain_map_jpeg_, &map_why_);
        } catch (const std::exception&) {
          map_why_ = "gain map could not be encoded";
        }
      });
      return;
    } catch (const std::exception&) {
      // No thread to be had: the map is made here.
    }
  }
  make_gain_map(nullptr, ctx, id, &gain_map_jpeg_, &map_why_);
}

void UltraHdrAppendix::prepare(const GainMap& map, PictureMetadata* md) {
  active_ = map_failed_ = false;
  map_why_.clear();
  if (!encode_gain_map(map, &gain_map_jpeg_)) {
    hdr_note = "gain map could not be encoded";
    gain_map_jpeg_.clear();
    return;
  }
  start_primary_part(md);
}

// The primary's XMP and APP2 segments; they need nothing of the map.
void UltraHdrAppendix::start_primary_part(PictureMetadata* md) {
  ByteBlock xmp = merged_xmp(md->xmp, container_description());
  const size_t kXmpSignatureLength = 29;  // "http://ns.adobe.com/xap/1.0/" and its zero
  if (xmp.size() + kXmpSignatureLength > kJpegSegmentMax) {
    hdr_note = "the photo's XMP is too large to take the HDR description as well";
    return;
  }
  const std::string text(xmp.begin(), xmp.end());
  length_at_ = text.rfind(kLengthKey) + sizeof kLengthKey - 1;
  md->xmp = std::move(xmp);
  extras_ = JpegExtras();
  extras_.app2.push_back(iso_segment(ByteBlock(4, 0)));  // minimum and writer version
  extras_.app2.push_back(mpf_template());
  active_ = true;
}

bool UltraHdrAppendix::finish(FILE* f) {
  if (!active_) return true;
  wait();
  if (!map_why_.empty()) {
    hdr_note = map_why_;
    map_failed_ = true;
    return false;
  }
  const size_t mpf_marker = extras_.header_bytes - (4 + kMpfSize);
  const size_t tiff = mpf_marker + 4 + kMpfTiffAt;
  const size_t primary = extras_.total_bytes;
  if (extras_.header_bytes < 4 + kMpfSize || primary <= extras_.header_bytes || primary > 0xFFFFFFFFu ||
      gain_map_jpeg_.size() > 0xFFFFFFFFu || extras_.xmp_at == 0 || extras_.xmp_at >= mpf_marker) {
    return false;
  }
  uint8_t entries[32] = {};
  put32(entries, 0x030000);  // baseline MP primary image, JPEG
  put32(entries + 4, static_cast<uint32_t>(primary));
  put32(entries + 20, static_cast<uint32_t>(gain_map_jpeg_.size()));
  put32(entries + 24, static_cast<uint32_t>(primary - tiff));  // offsets count from the MPF TIFF header
  const std::string length = length_field(gain_map_jpeg_.size());
  return std::fseek(f, static_cast<long>(extras_.xmp_at + length_at_), SEEK_SET) == 0 &&
         std::fwrite(length.data(), 1, length.size(), f) == length.size() &&
         std::fseek(f, static_cast<long>(mpf_marker + 4 + kMpfEntriesAt), SEEK_SET) == 0 &&
         std::fwrite(entries, 1, sizeof entries, f) == sizeof entries && std::fseek(f, 0, SEEK_END) == 0 &&
         std::fwrite(gain_map_jpeg_.data(), 1, gain_map_jpeg_.size(), f) == gain_map_jpeg_.size() &&
         std::fflush(f) == 0;
}
