#include "hdr/gain_map_heif.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

#include "base/error_state.h"
#include "hdr/ultrahdr_jpeg.h"
#include "heif/box_edit.h"
#include "heif/meta_box.h"

namespace {

bool signed_32(const GainFraction& f) { return f.d != 0 && f.n >= INT32_MIN && f.n <= INT32_MAX; }
bool unsigned_32(const GainFraction& f) { return f.d != 0 && f.n >= 0 && f.n <= int64_t(UINT32_MAX); }

// Whether the record holds what it says: every fraction fits its field and
// has a denominator, gamma is positive and max is not below min (what
// libavif checks before it uses a map).
bool record_writable(const GainMapMetadata& md) {
  if (!unsigned_32(md.base_headroom) || !unsigned_32(md.alternate_headroom)) return false;
  for (int c = 0; c < (md.multichannel ? 3 : 1); ++c) {
    const GainMapChannel& ch = md.channel[c];
    if (!signed_32(ch.min) || !signed_32(ch.max) || !unsigned_32(ch.gamma) || ch.gamma.n == 0 ||
        !signed_32(ch.base_offset) || !signed_32(ch.alternate_offset)) {
      return false;
    }
    if (ch.max.n * int64_t(ch.min.d) < ch.min.n * int64_t(ch.max.d)) return false;
  }
  return true;
}

// How many of the item's transformation properties are of this type
// (heif_item_property_type_invalid: of any type).
int transformations(heif_context* ctx, heif_item_id id, heif_item_property_type type) {
  heif_property_id ids[8];
  const int n = heif_item_get_transformation_properties(ctx, id, ids, 8);
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (type == heif_item_property_type_invalid || heif_item_get_property_type(ctx, id, ids[i]) == type) ++count;
  }
  return count;
}

// Why the map cannot go beside this primary, or null.
const char* unwritable(const GainMap& map, heif_context* ctx, heif_image_handle* primary) {
  if ((map.channels != 1 && map.channels != 3) || map.width <= 0 || map.height <= 0 ||
      map.pixels.size() != size_t(map.width) * size_t(map.height) * size_t(map.channels)) {
    return "gain map pixels are not an 8-bit grey or RGB picture";
  }
  if (!record_writable(map.metadata)) return "gain map metadata cannot be written";
  const int w = heif_image_handle_get_width(primary), h = heif_image_handle_get_height(primary);
  if (map.width > w || map.height > h) return "gain map is larger than the picture";
  const double aspect = double(w) / h, gain_aspect = double(map.width) / map.height;
  if (std::fabs(gain_aspect - aspect) > 0.02 * aspect) return "gain map does not line up with the picture";
  const heif_item_id id = heif_image_handle_get_item_id(primary);
  if (transformations(ctx, id, heif_item_property_type_transform_rotation) > 0 ||
      transformations(ctx, id, heif_item_property_type_transform_mirror) > 0) {
    return "the picture is turned by its properties, its gain map is not";
  }
  return nullptr;
}

// The map as a libheif image: monochrome Y, or interleaved RGB.
bool map_image(const GainMap& map, ImageHolder* image) {
  if (map.channels == 3) return fill_heif_image(map.pixels.data(), map.width, map.height, 3, image);
  if (heif_image_create(map.width, map.height, heif_colorspace_monochrome, heif_chroma_monochrome, image->out()).code !=
          heif_error_Ok ||
      heif_image_add_plane(image->get(), heif_channel_Y, map.width, map.height, 8).code != heif_error_Ok) {
    return false;
  }
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image->get(), heif_channel_Y, &stride);
  if (plane == nullptr || stride < map.width) return false;
  for (int y = 0; y < map.height; ++y) {
    std::memcpy(plane + int64_t(y) * stride, map.pixels.data() + size_t(y) * size_t(map.width), size_t(map.width));
  }
  return true;
}

// An AV1 encoder's speed raised to 8 for the map and given back after it:
// a map is smooth, and on a 12 MP phone photo's map aom at 8 keeps the HDR
// rendition as exactly as at 6 (0.0295 against 0.0294 stops on average)
// in a third of the time. Encoders without a speed (x265) are left alone.
class MapSpeed {
 public:
  explicit MapSpeed(heif_encoder* encoder) : encoder_(encoder) {
    saved_ = heif_encoder_get_parameter_integer(encoder, "speed", &speed_).code == heif_error_Ok;
    if (saved_ && speed_ < kSpeed) heif_encoder_set_parameter_integer(encoder, "speed", kSpeed);
  }
  ~MapSpeed() {
    if (saved_) heif_encoder_set_parameter_integer(encoder_, "speed", speed_);
  }
  MapSpeed(const MapSpeed&) = delete;
  MapSpeed& operator=(const MapSpeed&) = delete;

 private:
  static const int kSpeed = 8;
  heif_encoder* encoder_;
  int speed_ = 0;
  bool saved_ = false;
};

// Encodes the map with libavif's colour description of gain maps (primaries
// and transfer unspecified, BT.601 matrix, full range): the matrix is the
// one its samples are coded with.
bool encode_map(heif_context* ctx, heif_image* image, heif_encoder* encoder, HandleHolder* handle) {
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  heif_encoding_options* options = heif_encoding_options_alloc();
  bool ok = nclx != nullptr && options != nullptr;
  if (ok) {
    nclx->color_primaries = heif_color_primaries_unspecified;
    nclx->transfer_characteristics = heif_transfer_characteristic_unspecified;
    nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
    nclx->full_range_flag = 1;
    options->output_nclx_profile = nclx;
    options->macOS_compatibility_workaround_no_nclx_profile = 0;
    const MapSpeed speed(encoder);
    ok = heif_context_encode_image(ctx, image, encoder, options, handle->out()).code == heif_error_Ok && *handle;
  }
  if (options != nullptr) heif_encoding_options_free(options);
  if (nclx != nullptr) heif_nclx_color_profile_free(nclx);
  return ok;
}

void put(ByteBlock* b, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b->push_back(uint8_t(v >> (8 * i)));
}

bool add_property(heif_context* ctx, heif_item_id item, uint32_t type, const ByteBlock& payload,
                  bool essential = false) {
  return heif_item_add_raw_property(ctx, item, type, nullptr, payload.data(), payload.size(), essential, nullptr)
             .code == heif_error_Ok;
}

}  // namespace

bool GainMapHeifWriter::add(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder) {
  if (const char* why = unwritable(map_, ctx, primary)) {
    set_hdr_note(why);
    return true;
  }
  ImageHolder image;
  HandleHolder handle;
  if (!map_image(map_, &image) || !encode_map(ctx, image.get(), encoder, &handle)) {
    set_hdr_note("gain map could not be encoded");
    return true;
  }
  primary_ = heif_image_handle_get_item_id(primary);
  map_item_ = heif_image_handle_get_item_id(handle.get());
  // libheif crops an odd-sized HEVC picture with a clap. A map without
  // transformations of its own is read by this library (and by readers
  // of phones' files) with its master's, which cannot line it up with the
  // crop: it gets a clap of its own that keeps it whole.
  if (transformations(ctx, primary_, heif_item_property_type_transform_crop) > 0 &&
      transformations(ctx, map_item_, heif_item_property_type_invalid) == 0) {
    ByteBlock clap;
    for (const uint32_t v : {uint32_t(map_.width), 1u, uint32_t(map_.height), 1u, 0u, 1u, 0u, 1u}) put(&clap, v, 4);
    if (!add_property(ctx, map_item_, fourcc("clap"), clap, true)) {
      set_hdr_note("gain map could not be described");  // the map stays in the file, hidden and unused
      return true;
    }
  }
  if (add_tmap(ctx, primary)) return true;
  if (tmap_ != 0) {
    // A tmap item without its inputs or size makes libavif refuse the file.
    set_error("Failed adding the gain map's tmap item");
    return false;
  }
  set_hdr_note("gain map could not be described");  // the map stays in the file, hidden and unused
  return true;
}

bool GainMapHeifWriter::add_tmap(heif_context* ctx, heif_image_handle* primary) {
  ByteBlock payload{0};  // version
  const ByteBlock record = iso_gain_map_record(map_.metadata);
  payload.insert(payload.end(), record.begin(), record.end());
  if (heif_context_add_item(ctx, "tmap", payload.data(), int(payload.size()), &tmap_).code != heif_error_Ok) {
    tmap_ = 0;
    return false;
  }
  const heif_item_id inputs[2] = {primary_, map_item_};
  if (heif_context_add_item_references(ctx, fourcc("dimg"), tmap_, inputs, 2).code != heif_error_Ok) return false;
  ByteBlock ispe;
  put(&ispe, 0, 4);  // version and flags
  put(&ispe, uint32_t(heif_image_handle_get_ispe_width(primary)), 4);
  put(&ispe, uint32_t(heif_image_handle_get_ispe_height(primary)), 4);
  if (!add_property(ctx, tmap_, fourcc("ispe"), ispe)) return false;
  if (hdr_.has_nclx) {
    ByteBlock colr;
    put(&colr, fourcc("nclx"), 4);
    put(&colr, hdr_.colour_primaries, 2);
    put(&colr, hdr_.transfer_characteristics, 2);
    put(&colr, hdr_.matrix_coefficients, 2);
    put(&colr, hdr_.full_range ? 0x80 : 0, 1);
    if (!add_property(ctx, tmap_, fourcc("colr"), colr)) return false;
  }
  if (hdr_.max_cll != 0 || hdr_.max_pall != 0) {
    ByteBlock clli;
    put(&clli, hdr_.max_cll, 2);
    put(&clli, hdr_.max_pall, 2);
    if (!add_property(ctx, tmap_, fourcc("clli"), clli)) return false;
  }
  return true;
}

const char* GainMapHeifWriter::finish(std::vector<uint8_t>* file) {
  if (map_item_ == 0) return nullptr;
  HeifBoxEdits edits;
  edits.hidden.push_back(map_item_);
  if (tmap_ != 0) {
    edits.brand = fourcc("tmap");
    edits.alternates = {tmap_, primary_};
  }
  const char* why = edit_heif_boxes(file, edits);
  if (why == nullptr) return nullptr;
  failure_ = std::string("Cannot add the gain map: ") + why;
  return failure_.c_str();
}

std::unique_ptr<GainMapHeifWriter> gain_map_addition(GainMap map, const HdrRendition& hdr) {
  return std::unique_ptr<GainMapHeifWriter>(new GainMapHeifWriter(std::move(map), hdr));
}
