// Which HEVC decoder libheif uses: FFmpeg's where it is loaded or the
// picture repays loading it (faster, same pixels), libde265 for the rest
// and for what FFmpeg cannot decode.
#pragma once

#include <libheif/heif.h>

// "ffmpeg" when libheif knows that decoder (its plugin loaded at start-up,
// or the on-demand one of base/ffmpeg_on_demand) and LUMETRA_HEVC_DECODER
// does not say "libde265"; otherwise null (libheif's own choice).
const char* preferred_hevc_decoder();
// The same for one image: null unless it is coded 4:2:0 in 8 to 10 bits
// without alpha, and either FFmpeg's plugin is loaded already or the image
// has 10 million pixels or more (a smaller one never loads it). FFmpeg 5.1 fails on 10-bit 4:2:2, 12 bits and
// monochrome alpha and says so on stderr, which a library cannot silence.
const char* preferred_decoder_for(const heif_image_handle* handle);

// Decoding options: defaults, with the given decoder. Free with
// heif_decoding_options_free; null when out of memory.
heif_decoding_options* decoding_options_for(const char* decoder_id);

// heif_decode_image with the preferred decoder, then, if that fails, once
// more with libheif's own choice. `base` (may be null) gives the other
// options; its decoder_id is ignored.
heif_error decode_image_preferring(const heif_image_handle* handle, heif_image** out, heif_colorspace colorspace,
                                   heif_chroma chroma, const heif_decoding_options* base);
