#include "heif/decode_upright.h"

#include <climits>
#include <cstdint>

#include "base/heif_holders.h"
#include "heif/hevc_decoder.h"
#include "heif/transformations.h"
#include "pixels/orientation.h"

namespace {

const heif_error kOk{heif_error_Ok, heif_suberror_Unspecified, "Success"};

// Bytes of one pixel of an interleaved RGB(A) chroma.
PixelSize pixel_size(heif_chroma chroma) {
  switch (chroma) {
    case heif_chroma_interleaved_RGBA: return PixelSize{1, 4};
    case heif_chroma_interleaved_RRGGBB_BE: return PixelSize{2, 3};
    case heif_chroma_interleaved_RRGGBBAA_BE: return PixelSize{2, 4};
    default: return PixelSize{1, 3};
  }
}

// The decoded image cropped, turned and mirrored by the item's properties
// into a new image; only its first max_width x max_height pixels count.
heif_error apply(heif_context* ctx, heif_item_id item, heif_chroma chroma, ImageHolder* image, int max_width,
                 int max_height) {
  int src_stride = 0;
  const uint8_t* src = heif_image_get_plane_readonly(image->get(), heif_channel_interleaved, &src_stride);
  const int decoded_width = heif_image_get_primary_width(image->get());
  const int decoded_height = heif_image_get_primary_height(image->get());
  const int width = decoded_width < max_width ? decoded_width : max_width;
  const int height = decoded_height < max_height ? decoded_height : max_height;
  const PixelSize size = pixel_size(chroma);
  const int depth = heif_image_get_bits_per_pixel_range(image->get(), heif_channel_interleaved);
  if (src == nullptr || width <= 0 || height <= 0 || src_stride < 0 ||
      static_cast<size_t>(src_stride) < width * size.bytes()) {
    return heif_error{heif_error_Decoder_plugin_error, heif_suberror_Unspecified, "Decoded image has no usable plane"};
  }
  Orientation o(width, height);
  if (!read_transformations(ctx, item, width, height, &o)) {
    return heif_error{heif_error_Invalid_input, heif_suberror_Unspecified, kTooManyTransformations};
  }
  if (!o.valid()) {
    return heif_error{heif_error_Invalid_input, heif_suberror_Invalid_clean_aperture,
                      "Invalid input: Invalid clean-aperture specification"};
  }
  ImageHolder next;
  heif_error err = heif_image_create(o.out_width(), o.out_height(), heif_colorspace_RGB, chroma, next.out());
  if (err.code != heif_error_Ok) return err;
  err = heif_image_add_plane(next.get(), heif_channel_interleaved, o.out_width(), o.out_height(), depth);
  if (err.code != heif_error_Ok) return err;
  int stride = 0;
  uint8_t* dst = heif_image_get_plane(next.get(), heif_channel_interleaved, &stride);
  if (dst == nullptr) {
    return heif_error{heif_error_Memory_allocation_error, heif_suberror_Unspecified, "Memory allocation error"};
  }
  remap_pixels(o, size, src, static_cast<size_t>(src_stride), dst, static_cast<size_t>(stride));
  image->reset(next.release());
  return kOk;
}

}  // namespace

// Read at size 0 these say only whether the item crops.
bool has_clean_aperture(heif_context* ctx, heif_image_handle* handle) {
  Orientation o(0, 0);
  return !read_transformations(ctx, heif_image_handle_get_item_id(handle), 0, 0, &o) || o.crops();
}

heif_error decode_upright(heif_context* ctx, heif_image_handle* handle, heif_chroma chroma, heif_image** out) {
  const heif_item_id item = heif_image_handle_get_item_id(handle);
  Orientation o(0, 0);
  if (!read_transformations(ctx, item, 0, 0, &o)) {
    return heif_error{heif_error_Invalid_input, heif_suberror_Unspecified, kTooManyTransformations};
  }
  if (!o.crops()) return decode_image_preferring(handle, out, heif_colorspace_RGB, chroma, nullptr);

  heif_decoding_options untransformed{};
  untransformed.ignore_transformations = 1;
  ImageHolder image;
  heif_error err = decode_image_preferring(handle, image.out(), heif_colorspace_RGB, chroma, &untransformed);
  if (err.code != heif_error_Ok) return err;
  if ((err = apply(ctx, item, chroma, &image, INT_MAX, INT_MAX)).code != heif_error_Ok) return err;
  *out = image.release();
  return kOk;
}

heif_error decode_upright_item_size(heif_context* ctx, heif_image_handle* handle, heif_chroma chroma,
                                    heif_image** out) {
  ImageHolder image;
  heif_error err = decode_upright(ctx, handle, chroma, image.out());
  if (err.code != heif_error_Ok) return err;
  const int width = heif_image_get_primary_width(image.get());
  const int height = heif_image_get_primary_height(image.get());
  const int ispe_width = heif_image_handle_get_ispe_width(handle);
  const int ispe_height = heif_image_handle_get_ispe_height(handle);
  const bool larger = width > heif_image_handle_get_width(handle) || height > heif_image_handle_get_height(handle);
  if (!larger || ispe_width <= 0 || ispe_height <= 0) {
    *out = image.release();
    return kOk;
  }
  // The coded picture, cut to the ispe size, then cropped, turned and mirrored.
  heif_decoding_options untransformed{};
  untransformed.ignore_transformations = 1;
  err = decode_image_preferring(handle, image.out(), heif_colorspace_RGB, chroma, &untransformed);
  if (err.code != heif_error_Ok) return err;
  if ((err = apply(ctx, heif_image_handle_get_item_id(handle), chroma, &image, ispe_width, ispe_height)).code !=
      heif_error_Ok) {
    return err;
  }
  *out = image.release();
  return kOk;
}
