#include "heif/format_name.h"

#include <cstdint>
#include <cstring>

#include <libheif/heif_items.h>

#include "base/error_state.h"
#include "base/platform.h"

namespace {

const char* brand_name(const uint8_t* brand) {
  static const char kHevc[][5] = {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs"};
  for (const char* b : kHevc) {
    if (std::memcmp(brand, b, 4) == 0) return "HEIC";
  }
  if (std::memcmp(brand, "avif", 4) == 0 || std::memcmp(brand, "avis", 4) == 0) return "AVIF";
  return nullptr;
}

const OpenTexts kAvifTexts = {"Failed to allocate heif context",
                              {"Failed to read AVIF file", FailureTail::PathAndReason},
                              {"Failed to get primary image handle", FailureTail::Reason}};
const OpenTexts kHeifTexts = {"Failed to allocate heif context",
                              {"Failed to read HEIF file", FailureTail::PathAndReason},
                              {"Failed to get primary image handle", FailureTail::Reason}};

}  // namespace

const char* file_format_name(const char* path) {
  uint8_t head[64];
  long got = 0;
  {
    platform::InputFile file;
    if (path == nullptr || !file.open(path)) return "HEIC";
    got = file.read(head, sizeof head);
  }
  if (got < 12 || std::memcmp(head + 4, "ftyp", 4) != 0) return "HEIC";
  const size_t box = static_cast<size_t>(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3];
  const size_t end = box < static_cast<size_t>(got) ? box : static_cast<size_t>(got);
  if (const char* name = brand_name(head + 8)) return name;
  for (size_t at = 16; at + 4 <= end; at += 4) {
    if (const char* name = brand_name(head + at)) return name;
  }
  return "HEIF";
}

const char* coded_format_name(heif_context* ctx, heif_image_handle* handle) {
  heif_item_id id = heif_image_handle_get_item_id(handle);
  uint32_t type = heif_item_get_item_type(ctx, id);
  if (type == heif_fourcc('g', 'r', 'i', 'd') || type == heif_fourcc('i', 'o', 'v', 'l') ||
      type == heif_fourcc('i', 'd', 'e', 'n')) {
    uint32_t reference = 0;
    heif_item_id* parts = nullptr;
    if (heif_context_get_item_references(ctx, id, 0, &reference, &parts) > 0 && parts != nullptr) {
      type = heif_item_get_item_type(ctx, parts[0]);
    }
    if (parts != nullptr) heif_release_item_references(ctx, &parts);
  }
  return type == heif_fourcc('h', 'v', 'c', '1') ? "HEIC" : type == heif_fourcc('a', 'v', '0', '1') ? "AVIF" : "HEIF";
}

const OpenTexts& named_open_texts(const char* path) {
  const char* name = file_format_name(path);
  return std::strcmp(name, "HEIC") == 0 ? kDecodeOpenTexts : std::strcmp(name, "AVIF") == 0 ? kAvifTexts : kHeifTexts;
}

void set_decode_error(heif_context* ctx, heif_image_handle* handle, const char* reason) {
  set_error_fmt("Failed to decode %s image: %s", coded_format_name(ctx, handle), reason);
}
