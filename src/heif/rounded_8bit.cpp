#include "heif/rounded_8bit.h"

#include <cstddef>
#include <cstdint>

#include "base/heif_holders.h"

namespace {

const heif_error kOk{heif_error_Ok, heif_suberror_Unspecified, "Success"};

heif_error usage_error(const char* text) { return heif_error{heif_error_Usage_error, heif_suberror_Unspecified, text}; }

}  // namespace

heif_chroma deep_chroma(heif_chroma chroma_8bit) {
  return chroma_8bit == heif_chroma_interleaved_RGBA ? heif_chroma_interleaved_RRGGBBAA_BE
                                                     : heif_chroma_interleaved_RRGGBB_BE;
}

heif_error round_to_8bit(const heif_image* deep, heif_image** out) {
  *out = nullptr;
  const heif_chroma chroma = heif_image_get_chroma_format(deep);
  if (chroma != heif_chroma_interleaved_RRGGBB_BE && chroma != heif_chroma_interleaved_RRGGBBAA_BE) {
    return usage_error("not a 16-bit interleaved image");
  }
  const int channels = chroma == heif_chroma_interleaved_RRGGBBAA_BE ? 4 : 3;
  const int w = heif_image_get_width(deep, heif_channel_interleaved);
  const int h = heif_image_get_height(deep, heif_channel_interleaved);
  const int bits = heif_image_get_bits_per_pixel_range(deep, heif_channel_interleaved);
  int in_stride = 0;
  const uint8_t* in = heif_image_get_plane_readonly(deep, heif_channel_interleaved, &in_stride);
  const size_t samples = static_cast<size_t>(w > 0 ? w : 0) * channels;
  if (in == nullptr || w <= 0 || h <= 0 || bits <= 8 || bits > 16 || in_stride < 0 ||
      static_cast<size_t>(in_stride) < samples * 2) {
    return usage_error("unusable 16-bit image");
  }
  ImageHolder narrow;
  heif_error err =
      heif_image_create(w, h, heif_colorspace_RGB,
                        channels == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, narrow.out());
  if (err.code != heif_error_Ok) return err;
  err = heif_image_add_plane(narrow.get(), heif_channel_interleaved, w, h, 8);
  if (err.code != heif_error_Ok) return err;
  int out_stride = 0;
  uint8_t* o = heif_image_get_plane(narrow.get(), heif_channel_interleaved, &out_stride);
  if (o == nullptr || out_stride < 0 || static_cast<size_t>(out_stride) < samples) {
    return usage_error("unusable 8-bit image");
  }
  const uint32_t top = (1u << bits) - 1;
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = in + static_cast<ptrdiff_t>(y) * in_stride;
    uint8_t* d = o + static_cast<ptrdiff_t>(y) * out_stride;
    for (size_t i = 0; i < samples; ++i) {
      uint32_t v = uint32_t(s[2 * i]) << 8 | s[2 * i + 1];
      if (v > top) v = top;
      d[i] = static_cast<uint8_t>((v * 255 + top / 2) / top);
    }
  }
  *out = narrow.release();
  return kOk;
}

heif_error decode_rounded(heif_image_handle* handle, heif_image** out, heif_chroma chroma_8bit,
                          const heif_decoding_options* options) {
  if (heif_image_handle_get_luma_bits_per_pixel(handle) <= 8) {
    return heif_decode_image(handle, out, heif_colorspace_RGB, chroma_8bit, options);
  }
  ImageHolder deep;
  const heif_error err = heif_decode_image(handle, deep.out(), heif_colorspace_RGB, deep_chroma(chroma_8bit), options);
  if (err.code != heif_error_Ok) return err;
  return round_to_8bit(deep.get(), out);
}
