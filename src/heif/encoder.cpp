#include "heif/encoder.h"

#include <cstring>

#include "base/error_state.h"
#include "base/output_file.h"
#include "pixels/pixel_rows.h"

namespace {

const int kEncoderThumbnailBox = 160;

// A new interleaved RGB(A) libheif image whose plane holds rows of row_len
// bytes; null (last-error text set) on failure.
uint8_t* new_interleaved_image(int w, int h, heif_chroma chroma, int bit_depth, size_t row_len, ImageHolder* image,
                               int* stride) {
  heif_error err = heif_image_create(w, h, heif_colorspace_RGB, chroma, image->out());
  if (err.code != heif_error_Ok || !*image) {
    set_error("Failed to create heif image container");
    return nullptr;
  }
  if (heif_image_add_plane(image->get(), heif_channel_interleaved, w, h, bit_depth).code != heif_error_Ok) {
    set_error("Failed to add image plane");
    return nullptr;
  }
  uint8_t* plane = heif_image_get_plane(image->get(), heif_channel_interleaved, stride);
  if (!plane_holds_rows(plane, *stride, row_len)) {
    set_error("Failed to add image plane");
    return nullptr;
  }
  return plane;
}

}  // namespace

bool fill_heif_image(const unsigned char* pixels, int w, int h, int bytes_per_pixel, ImageHolder* image) {
  const heif_chroma chroma = bytes_per_pixel == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  const size_t row_len = static_cast<size_t>(w) * bytes_per_pixel;
  int stride = 0;
  uint8_t* plane = new_interleaved_image(w, h, chroma, 8, row_len, image, &stride);
  if (plane == nullptr) return false;
  for (int y = 0; y < h; ++y) {
    std::memcpy(plane + int64_t(y) * stride, pixels + static_cast<size_t>(y) * row_len, row_len);
  }
  return true;
}

bool fill_heif_image_10bit(const uint16_t* pixels, int w, int h, int channels, ImageHolder* image) {
  const heif_chroma chroma = channels == 4 ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE;
  const size_t row_samples = static_cast<size_t>(w) * channels;
  int stride = 0;
  uint8_t* plane = new_interleaved_image(w, h, chroma, 10, row_samples * 2, image, &stride);
  if (plane == nullptr) return false;
  for (int y = 0; y < h; ++y) {
    uint8_t* d = plane + int64_t(y) * stride;
    const uint16_t* s = pixels + static_cast<size_t>(y) * row_samples;
    for (size_t i = 0; i < row_samples; ++i) {
      const unsigned v = s[i] >> 6;
      d[2 * i] = uint8_t(v);
      d[2 * i + 1] = uint8_t(v >> 8);
    }
  }
  return true;
}

bool thumbnail_encodable(int width, int height, int box) {
  const int64_t long_side = width > height ? width : height;
  const int64_t short_side = width > height ? height : width;
  return short_side * box / long_side >= 2;
}

bool heif_encoder_for(heif_context* ctx, heif_compression_format codec, int quality, EncoderHolder* encoder) {
  const heif_error err = heif_context_get_encoder_for_format(ctx, codec, encoder->out());
  if (err.code != heif_error_Ok || !*encoder) return false;
  heif_encoder_set_lossy_quality(encoder->get(), quality);
  return true;
}

namespace {

// Whether an nclx description says more than an sRGB reader assumes: an
// HDR transfer or primaries other than BT.709's.
bool beyond_srgb(const heif_color_profile_nclx* nclx) {
  const int t = nclx->transfer_characteristics, p = nclx->color_primaries;
  return t == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ ||
         t == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG ||
         (p != heif_color_primaries_ITU_R_BT_709_5 && p != heif_color_primaries_unspecified);
}

}  // namespace

heif_error encode_keeping_colour(heif_context* ctx, heif_image* image, heif_encoder* encoder, heif_image_handle** out) {
  heif_color_profile_nclx* nclx = nullptr;
  heif_encoding_options* options = nullptr;
  if (heif_image_get_raw_color_profile_size(image) == 0 &&
      heif_image_get_nclx_color_profile(image, &nclx).code == heif_error_Ok && nclx != nullptr && beyond_srgb(nclx)) {
    options = heif_encoding_options_alloc();
    if (options != nullptr) {
      options->output_nclx_profile = nclx;
      options->macOS_compatibility_workaround_no_nclx_profile = 0;
    }
  }
  const heif_error err = heif_context_encode_image(ctx, image, encoder, options, out);
  if (options != nullptr) heif_encoding_options_free(options);
  if (nclx != nullptr) heif_nclx_color_profile_free(nclx);
  return err;
}

bool encode_heif_file(heif_context* ctx, heif_encoder* encoder, heif_image* image, MetadataBlock exif,
                      MetadataBlock xmp, const char* out, const std::vector<HeifAddition*>& additions) {
  HandleHolder primary;
  heif_error err = encode_keeping_colour(ctx, image, encoder, primary.out());
  if (err.code != heif_error_Ok || !primary) {
    set_error_fmt("Failed encoding image: %s", heif_error_text(err));
    return false;
  }
  if (exif.size > 0) heif_context_add_exif_metadata(ctx, primary.get(), exif.data, static_cast<int>(exif.size));
  if (xmp.size > 0) heif_context_add_XMP_metadata(ctx, primary.get(), xmp.data, static_cast<int>(xmp.size));
  for (HeifAddition* addition : additions) {
    if (!addition->add(ctx, primary.get(), encoder)) return false;
  }
  const int w = heif_image_get_primary_width(image), h = heif_image_get_primary_height(image);
  if (w > kEncoderThumbnailBox - 1 && h > kEncoderThumbnailBox - 1 && thumbnail_encodable(w, h, kEncoderThumbnailBox)) {
    HandleHolder thumbnail;
    heif_context_encode_thumbnail(ctx, image, primary.get(), encoder, nullptr, kEncoderThumbnailBox, thumbnail.out());
  }
  primary.reset();
  HeifFileEdit edit;
  if (!additions.empty()) {
    edit = [&additions](std::vector<uint8_t>* file) -> const char* {
      for (HeifAddition* addition : additions) {
        if (const char* why = addition->finish(file)) return why;
      }
      return nullptr;
    };
  }
  err = write_heif_output(ctx, out, edit);
  if (err.code != heif_error_Ok) {
    set_error_fmt("Failed writing HEIF file to disk: %s", heif_error_text(err));
    return false;
  }
  return true;
}
