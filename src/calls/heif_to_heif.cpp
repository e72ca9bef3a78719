#include "calls/heif_to_heif.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <libheif/heif.h>

#include "base/error_state.h"
#include "base/heif_holders.h"
#include "base/libheif_setup.h"
#include "base/platform.h"
#include "formats/metadata.h"
#include "hdr/gain_map.h"
#include "hdr/gain_map_heif.h"
#include "hdr/jpeg_gain_map.h"
#include "hdr/ultrahdr_jpeg.h"
#include "heif/aux_copy.h"
#include "heif/decode_upright.h"
#include "heif/encode_settings.h"
#include "heif/encoder.h"
#include "heif/format_name.h"
#include "heif/item_metadata.h"
#include "heif/primary_image.h"
#include "lumetra.h"
#include "pixels/orientation.h"

namespace {

// The interleaved layout that keeps an image's bit depth and alpha.
heif_chroma keeping_chroma(heif_image_handle* handle) {
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  if (heif_image_handle_get_luma_bits_per_pixel(handle) > 8) {
    return alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE;
  }
  return alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
}

// The image decoded upright at its own depth, with the colour description
// the encoder writes: its ICC profile (when kept) and its nclx.
bool decode_for_encoding(heif_context* ctx, heif_image_handle* handle, const PictureMetadata& md, ImageHolder* image) {
  const heif_error err = decode_upright(ctx, handle, keeping_chroma(handle), image->out());
  if (err.code != heif_error_Ok || !*image) {
    set_decode_error(ctx, handle, heif_error_text(err));
    return false;
  }
  if (!md.icc.empty()) {
    const bool restricted = heif_image_handle_get_color_profile_type(handle) == heif_color_profile_type_rICC;
    heif_image_set_raw_color_profile(image->get(), restricted ? "rICC" : "prof", md.icc.data(), md.icc.size());
  }
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok && nclx != nullptr) {
    heif_image_set_nclx_color_profile(image->get(), nclx);
    heif_nclx_color_profile_free(nclx);
  }
  return true;
}

// The file's other top-level images, after the primary, in file order.
class OtherTopLevelImages : public HeifAddition {
 public:
  OtherTopLevelImages(heif_context* source, heif_item_id primary, int flags)
      : source_(source), primary_(primary), flags_(flags) {}

  bool add(heif_context* ctx, heif_image_handle*, heif_encoder* encoder) override {
    const int n = heif_context_get_number_of_top_level_images(source_);
    std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0) ids.resize(static_cast<size_t>(heif_context_get_list_of_top_level_image_IDs(source_, ids.data(), n)));
    for (const heif_item_id id : ids) {
      if (id == primary_) continue;
      HandleHolder handle;
      heif_error err = heif_context_get_image_handle(source_, id, handle.out());
      if (err.code != heif_error_Ok || !handle) {
        set_error_fmt("Failed to get image handle: %s", heif_error_text(err));
        return false;
      }
      const PictureMetadata md = heif_item_metadata(source_, handle.get(), flags_);
      ImageHolder image;
      if (!decode_for_encoding(source_, handle.get(), md, &image)) return false;
      HandleHolder written;
      err = encode_keeping_colour(ctx, image.get(), encoder, written.out());
      if (err.code != heif_error_Ok || !written) {
        set_error_fmt("Failed encoding image: %s", heif_error_text(err));
        return false;
      }
      if (!md.exif.empty()) {
        heif_context_add_exif_metadata(ctx, written.get(), md.exif.data(), static_cast<int>(md.exif.size()));
      }
      if (!md.xmp.empty()) {
        heif_context_add_XMP_metadata(ctx, written.get(), md.xmp.data(), static_cast<int>(md.xmp.size()));
      }
    }
    return true;
  }

 private:
  heif_context* source_;
  heif_item_id primary_;
  int flags_;
};

}  // namespace

bool heif_to_heif(const char* in, const char* out, bool av1, int quality, int flags) {
  HeifFileBytes file;
  ContextHolder source;
  HandleHolder primary;
  if (!open_primary_image(in, &file, &source, &primary, named_open_texts(in))) return false;
  const PictureMetadata md = heif_item_metadata(source.get(), primary.get(), flags);
  ImageHolder image;
  if (!decode_for_encoding(source.get(), primary.get(), md, &image)) return false;

  ContextHolder ctx(new_heif_context());
  if (!ctx) {
    set_error("Failed to allocate heif context");
    return false;
  }
  EncoderHolder encoder;
  if (quality <= 0) quality = quality_for_heif_source(av1);
  if (!output_encoder(ctx.get(), av1, quality, flags, &encoder)) return false;
  std::vector<HeifAddition*> additions;
  // Depth, mattes and the rest; Apple's gain-map image too in HEIC (older
  // iOS reads only that one).
  const bool apple_gain_map = !av1 && (flags & LUMETRA_KEEP_HDR);
  std::unique_ptr<AuxCopy> aux =
      aux_copy_addition(source.get(), primary.get(), file.data.get(), file.size, apple_gain_map);
  if (aux) additions.push_back(aux.get());
  // The HDR gain map, in the layout libavif reads.
  std::unique_ptr<GainMapHeifWriter> gain_map;
  if (flags & LUMETRA_KEEP_HDR) {
    GainMap map;
    std::string why;
    if (!load_gain_map(source.get(), primary.get(), &map, &why)) {
      set_hdr_note(why);
    } else if (map.kind != GainMapKind::None) {
      gain_map = gain_map_addition(std::move(map));
      additions.push_back(gain_map.get());
    }
  }
  OtherTopLevelImages others(source.get(), heif_image_handle_get_item_id(primary.get()), flags);
  if (flags & LUMETRA_ALL_IMAGES) additions.push_back(&others);
  return encode_heif_file(ctx.get(), encoder.get(), image.get(), {md.exif.data(), md.exif.size()},
                          {md.xmp.data(), md.xmp.size()}, out, additions);
}

std::unique_ptr<HeifAddition> raster_gain_map(const char* in, int flags) {
  if (!(flags & LUMETRA_KEEP_HDR) || platform::kind_of(in) != platform::FileKind::Regular) return nullptr;
  ByteBlock bytes;
  if (!read_metadata_carrier(in, &bytes)) return nullptr;
  GainMap map;
  std::string why;
  if (!load_jpeg_gain_map(bytes.data(), bytes.size(), &map, &why)) {
    set_hdr_note(why);
    return nullptr;
  }
  if (map.kind == GainMapKind::None) return nullptr;
  if (flags & LUMETRA_UPRIGHT) turn_gain_map(exif_orientation(raster_metadata(bytes).exif), &map);
  return gain_map_addition(std::move(map));
}
