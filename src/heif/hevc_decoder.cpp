#include "heif/hevc_decoder.h"

#include <cstdint>

#include "base/ffmpeg_on_demand.h"

namespace {

const char kFfmpeg[] = "ffmpeg";

// Loading FFmpeg's plugin (libavcodec and the libraries it pulls in) costs
// about 40 ms of wall time and 50-65 ms of CPU here. Whole conversions to
// JPEG, wall time with libde265 against FFmpeg and its load: 0.18 against
// 0.17 s at 5 MP, 0.30 against 0.28 s at 7 MP, 0.32 against 0.26 s at
// 12 MP, 0.60 against 0.40 s at 16 MP (CPU time is even up to 16 MP). From
// 10 MP on the saving outgrows the load.
const int64_t kRepaysLoadFrom = 10000000;

}  // namespace

const char* preferred_hevc_decoder() { return ffmpeg_decoder_available() ? kFfmpeg : nullptr; }

const char* preferred_decoder_for(const heif_image_handle* handle) {
  const char* preferred = preferred_hevc_decoder();
  if (preferred == nullptr) return nullptr;
  const int64_t pixels = int64_t(heif_image_handle_get_width(handle)) * heif_image_handle_get_height(handle);
  if (pixels < kRepaysLoadFrom && !ffmpeg_decoder_loaded()) return nullptr;
  heif_colorspace colorspace = heif_colorspace_undefined;
  heif_chroma chroma = heif_chroma_undefined;
  const heif_error err = heif_image_handle_get_preferred_decoding_colorspace(handle, &colorspace, &chroma);
  return err.code == heif_error_Ok && chroma == heif_chroma_420 &&
                 heif_image_handle_get_luma_bits_per_pixel(handle) <= 10 && !heif_image_handle_has_alpha_channel(handle)
             ? preferred
             : nullptr;
}

heif_decoding_options* decoding_options_for(const char* decoder_id) {
  heif_decoding_options* options = heif_decoding_options_alloc();
  if (options != nullptr) options->decoder_id = decoder_id;
  return options;
}

heif_error decode_image_preferring(const heif_image_handle* handle, heif_image** out, heif_colorspace colorspace,
                                   heif_chroma chroma, const heif_decoding_options* base) {
  const char* preferred = preferred_decoder_for(handle);
  heif_decoding_options* options = decoding_options_for(preferred);
  if (options == nullptr) {
    return heif_error{heif_error_Memory_allocation_error, heif_suberror_Unspecified, "Memory allocation error"};
  }
  if (base != nullptr) options->ignore_transformations = base->ignore_transformations;
  heif_error err = heif_decode_image(handle, out, colorspace, chroma, options);
  if (err.code != heif_error_Ok && preferred != nullptr) {
    // FFmpeg refuses some streams libde265 decodes (10-bit 4:2:2).
    options->decoder_id = nullptr;
    err = heif_decode_image(handle, out, colorspace, chroma, options);
  }
  heif_decoding_options_free(options);
  return err;
}
