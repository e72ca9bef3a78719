#include "heif/hevc_decoder.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

const char kFfmpeg[] = "ffmpeg";

bool ffmpeg_loaded() {
  const heif_decoder_descriptor* descriptors[16];
  const int n = heif_get_decoder_descriptors(heif_compression_HEVC, descriptors, 16);
  for (int i = 0; i < n && i < 16; ++i) {
    const char* id = heif_decoder_descriptor_get_id_name(descriptors[i]);
    if (id != nullptr && std::strcmp(id, kFfmpeg) == 0) return true;
  }
  return false;
}

}  // namespace

const char* preferred_hevc_decoder() {
  // Asked once, after libheif has loaded its plugins (callers hold a context).
  static std::once_flag once;
  static const char* choice = nullptr;
  std::call_once(once, [] {
    const char* forced = std::getenv("LUMETRA_HEVC_DECODER");
    if (forced != nullptr && std::strcmp(forced, "libde265") == 0) return;
    if (ffmpeg_loaded()) choice = kFfmpeg;
  });
  return choice;
}

const char* preferred_decoder_for(const heif_image_handle* handle) {
  const char* preferred = preferred_hevc_decoder();
  if (preferred == nullptr) return nullptr;
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
