#include "hdr/gain_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <libheif/heif_items.h>

#include "base/heif_holders.h"
#include "formats/metadata.h"
#include "hdr/apple_gain_map.h"
#include "heif/aux_images.h"
#include "heif/item_metadata.h"
#include "pixels/orientation.h"

namespace {

const char kAppleGainMap[] = "urn:com:apple:photo:2020:aux:hdrgainmap";

struct Located {
  GainMapKind kind = GainMapKind::None;
  heif_item_id item = 0;
  GainMapMetadata metadata;
  double apple_headroom = 0;
  std::string why;  // set when a gain map is there but unusable
};

std::string item_xmp(heif_image_handle* handle) {
  const std::vector<std::string> packets = item_xmp_packets(handle);
  return packets.empty() ? std::string() : packets[0];
}

ByteBlock item_exif(heif_image_handle* handle) {
  const int n = heif_image_handle_get_number_of_metadata_blocks(handle, "Exif");
  if (n <= 0) return ByteBlock();
  std::vector<heif_item_id> ids(static_cast<size_t>(n));
  heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", ids.data(), n);
  ByteBlock exif(heif_image_handle_get_metadata_size(handle, ids[0]));
  if (exif.empty() || heif_image_handle_get_metadata(handle, ids[0], exif.data()).code != heif_error_Ok) return {};
  const long at = find_tiff_header(exif.data(), exif.size());
  if (at < 0) return ByteBlock();
  exif.erase(exif.begin(), exif.begin() + at);
  return exif;
}

// The ISO 'tmap' item derived from this image and a gain map, if any.
bool find_tmap(heif_context* ctx, heif_item_id image, Located* out) {
  const int n = heif_context_get_number_of_items(ctx);
  if (n <= 0) return false;
  std::vector<heif_item_id> ids(static_cast<size_t>(n));
  heif_context_get_list_of_item_IDs(ctx, ids.data(), n);
  for (const heif_item_id id : ids) {
    if (heif_item_get_item_type(ctx, id) != heif_fourcc('t', 'm', 'a', 'p')) continue;
    for (int index = 0;; ++index) {
      uint32_t type = 0;
      heif_item_id* to = nullptr;
      const size_t count = heif_context_get_item_references(ctx, id, index, &type, &to);
      if (count == 0) break;
      const bool ours = type == heif_fourcc('d', 'i', 'm', 'g') && count >= 2 && to[0] == image;
      const heif_item_id gain = ours ? to[1] : 0;
      heif_release_item_references(ctx, &to);
      if (!ours) continue;
      uint8_t* data = nullptr;
      size_t size = 0;
      const heif_error err = heif_item_get_item_data(ctx, id, nullptr, &data, &size);
      const char* why = "gain map metadata cannot be read";
      out->kind = GainMapKind::Iso21496;
      out->item = gain;
      if (err.code != heif_error_Ok || !parse_tmap_payload(data, size, &out->metadata, &why)) out->why = why;
      heif_release_item_data(ctx, &data);
      return true;
    }
  }
  return false;
}

// An auxiliary image of a hdrgainmap type, with Apple's or Adobe's XMP.
bool find_auxiliary(heif_image_handle* image, Located* out) {
  const int n = heif_image_handle_get_number_of_auxiliary_images(image, 0);
  if (n <= 0) return false;
  std::vector<heif_item_id> ids(static_cast<size_t>(n));
  heif_image_handle_get_list_of_auxiliary_image_IDs(image, 0, ids.data(), n);
  for (const heif_item_id id : ids) {
    HandleHolder aux;
    if (heif_image_handle_get_auxiliary_image_handle(image, id, aux.out()).code != heif_error_Ok) continue;
    const char* type = nullptr;
    if (heif_image_handle_get_auxiliary_type(aux.get(), &type).code != heif_error_Ok || type == nullptr) continue;
    const std::string urn = type;
    heif_image_handle_release_auxiliary_type(aux.get(), &type);
    if (urn.find("hdrgainmap") == std::string::npos) continue;
    const std::string xmp = item_xmp(aux.get());
    out->item = id;
    if (urn == kAppleGainMap || is_apple_gain_map_xmp(xmp)) {
      out->kind = GainMapKind::Apple;
      const ByteBlock exif = item_exif(image);
      out->apple_headroom = apple_headroom(xmp, exif.data(), exif.size());
      const char* why = nullptr;
      if (!apple_iso_model(out->apple_headroom, &out->metadata, &why)) out->why = why;
      return true;
    }
    out->kind = GainMapKind::HdrgmXmp;
    const char* why = "gain map has no usable hdrgm metadata";
    if (!parse_hdrgm_xmp(xmp, &out->metadata) || !gain_map_metadata_usable(out->metadata, &why)) out->why = why;
    return true;
  }
  return false;
}

Located locate(heif_context* ctx, heif_image_handle* image) {
  Located found;
  if (!find_tmap(ctx, heif_image_handle_get_item_id(image), &found)) find_auxiliary(image, &found);
  return found;
}

// ---- decoding

struct Raster {
  ByteBlock pixels;
  int width = 0, height = 0, channels = 0;
};

// 8-bit samples from a plane of `bits` (more than 8: 16-bit words).
void take_plane(const uint8_t* plane, int stride, int bits, int samples_per_row, bool limited, Raster* r) {
  const int max = (1 << bits) - 1;
  uint8_t* d = r->pixels.data();
  for (int y = 0; y < r->height; ++y) {
    const uint8_t* row = plane + static_cast<size_t>(y) * stride;
    if (bits == 8 && !limited) {
      std::memcpy(d, row, static_cast<size_t>(samples_per_row));
      d += samples_per_row;
      continue;
    }
    for (int x = 0; x < samples_per_row; ++x) {
      double v = bits > 8 ? reinterpret_cast<const uint16_t*>(row)[x] * 255.0 / max : row[x];
      if (limited) v = (v - 16) * 255.0 / 219.0;
      *d++ = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v));
    }
  }
}

bool decode_untransformed(heif_image_handle* handle, int channels, Raster* r) {
  ImageHolder image;
  heif_error err{heif_error_Ok, heif_suberror_Unspecified, ""};
  if (channels == 3) {
    err = decode_as_stored(handle, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
  } else {
    err = decode_as_stored(handle, heif_colorspace_monochrome, heif_chroma_monochrome, &image);
    if (err.code != heif_error_Ok) err = decode_as_stored(handle, heif_colorspace_YCbCr, heif_chroma_420, &image);
  }
  if (err.code != heif_error_Ok || !image) return false;
  const heif_channel channel = channels == 3 ? heif_channel_interleaved : heif_channel_Y;
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), channel, &stride);
  r->width = heif_image_get_width(image.get(), channel);
  r->height = heif_image_get_height(image.get(), channel);
  r->channels = channels;
  const int bits = heif_image_get_bits_per_pixel_range(image.get(), channel);
  if (plane == nullptr || r->width <= 0 || r->height <= 0 || bits < 1 || bits > 16 || (channels == 3 && bits != 8) ||
      stride < r->width * channels * (bits > 8 ? 2 : 1)) {
    return false;
  }
  bool limited = false;
  heif_color_profile_nclx* nclx = nullptr;
  if (channels == 1 && heif_image_get_nclx_color_profile(image.get(), &nclx).code == heif_error_Ok && nclx != nullptr) {
    limited = nclx->full_range_flag == 0;
    heif_nclx_color_profile_free(nclx);
  }
  r->pixels.resize(static_cast<size_t>(r->width) * r->height * channels);
  take_plane(plane, stride, bits, r->width * channels, limited, r);
  return true;
}

// Upright by the gain map's own transformations; one stored without any
// while the image has some takes the image's, which line it up only
// without a crop.
bool upright(heif_context* ctx, heif_image_handle* image, heif_item_id gain, Raster* r, std::string* why) {
  Orientation o(r->width, r->height);
  bool from_master = false;
  if (!aux_orientation(ctx, image, gain, r->width, r->height, &o, &from_master)) {
    *why = "gain map has too many transformation properties";
    return false;
  }
  if (from_master && o.crops()) {
    *why = "gain map cannot be lined up with the cropped picture";
    return false;
  }
  if (!o.valid()) {
    *why = "gain map has an invalid crop";
    return false;
  }
  Raster turned;
  turned.width = o.out_width();
  turned.height = o.out_height();
  turned.channels = r->channels;
  turned.pixels.resize(static_cast<size_t>(turned.width) * turned.height * turned.channels);
  const PixelSize size{1, r->channels};
  remap_pixels(o, size, r->pixels.data(), static_cast<size_t>(r->width) * size.bytes(), turned.pixels.data(),
               static_cast<size_t>(turned.width) * size.bytes());
  *r = std::move(turned);
  return true;
}

bool gain_map_handle(heif_context* ctx, heif_image_handle* image, heif_item_id item, HandleHolder* out) {
  if (heif_image_handle_get_auxiliary_image_handle(image, item, out->out()).code == heif_error_Ok) return true;
  return heif_context_get_image_handle(ctx, item, out->out()).code == heif_error_Ok;
}

}  // namespace

bool gain_map_lines_up(int map_width, int map_height, int width, int height) {
  if (map_width <= 0 || map_height <= 0 || map_width > width || map_height > height) return false;
  const double aspect = double(width) / height, gain_aspect = double(map_width) / map_height;
  return std::fabs(gain_aspect - aspect) <= 0.02 * aspect;
}

const char* gain_map_kind_name(GainMapKind kind) {
  switch (kind) {
    case GainMapKind::Iso21496: return "iso21496";
    case GainMapKind::Apple: return "apple";
    case GainMapKind::HdrgmXmp: return "hdrgm-xmp";
    default: return nullptr;
  }
}

namespace {

const char kLarger[] = "gain map is larger than the picture";

// Whether the map has more pixels than its picture (a map is never finer).
bool larger(heif_image_handle* map, heif_image_handle* image) {
  return int64_t(heif_image_handle_get_width(map)) * heif_image_handle_get_height(map) >
         int64_t(heif_image_handle_get_width(image)) * heif_image_handle_get_height(image);
}

}  // namespace

GainMapFacts describe_gain_map(heif_context* ctx, heif_image_handle* image) {
  GainMapFacts facts;
  try {
    const Located found = locate(ctx, image);
    if (found.kind == GainMapKind::None) return facts;
    facts.kind = found.kind;
    facts.item = found.item;
    facts.unusable = found.why;
    HandleHolder handle;
    if (facts.unusable.empty() && gain_map_handle(ctx, image, found.item, &handle) && larger(handle.get(), image)) {
      facts.unusable = kLarger;
    }
    if (facts.unusable.empty()) {
      const GainMapMetadata& md = found.metadata;
      facts.base_is_hdr = base_is_hdr(md);
      facts.headroom = found.kind == GainMapKind::Apple
                           ? found.apple_headroom
                           : std::exp2(std::max(md.base_headroom.value(), md.alternate_headroom.value()));
    }
  } catch (...) {
    facts = GainMapFacts();
  }
  return facts;
}

bool load_gain_map(heif_context* ctx, heif_image_handle* image, GainMap* out, std::string* why) {
  Located found = locate(ctx, image);
  *out = GainMap();
  if (found.kind == GainMapKind::None) return true;
  if (!found.why.empty()) {
    *why = found.why;
    return false;
  }
  HandleHolder handle;
  if (!gain_map_handle(ctx, image, found.item, &handle)) {
    *why = "gain map image cannot be opened";
    return false;
  }
  const int channels = found.metadata.multichannel ? 3 : 1;
  const int width = heif_image_handle_get_width(image), height = heif_image_handle_get_height(image);
  if (larger(handle.get(), image)) {
    *why = kLarger;
    return false;
  }
  Raster r;
  if (!decode_untransformed(handle.get(), channels, &r)) {
    *why = "gain map cannot be decoded";
    return false;
  }
  if (!upright(ctx, image, found.item, &r, why)) return false;
  if (!gain_map_lines_up(r.width, r.height, width, height)) {
    *why = "gain map does not line up with the picture";
    return false;
  }
  if (found.kind == GainMapKind::Apple) {
    apple_samples_to_iso(found.metadata, found.apple_headroom, r.pixels.data(), r.pixels.size());
  }
  out->kind = found.kind;
  out->metadata = found.metadata;
  out->pixels = std::move(r.pixels);
  out->width = r.width;
  out->height = r.height;
  out->channels = channels;
  return true;
}

void turn_gain_map(int o, GainMap* map) {
  if (o < 2 || o > 8) return;
  const Orientation turn = Orientation::from_exif(o, map->width, map->height);
  const PixelSize size{1, map->channels};
  ByteBlock turned(map->pixels.size());
  remap_pixels(turn, size, map->pixels.data(), static_cast<size_t>(map->width) * size.bytes(), turned.data(),
               static_cast<size_t>(turn.out_width()) * size.bytes());
  map->pixels.swap(turned);
  map->width = turn.out_width();
  map->height = turn.out_height();
}
