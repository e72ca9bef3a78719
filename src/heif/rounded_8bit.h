// Pictures of more than 8 bits brought to 8 bits rounded to nearest.
// libheif's own conversion drops the low bits, which leaves about 13 % of
// 10-bit and 33 % of 12-bit samples one level low.
#pragma once

#include <libheif/heif.h>

// The 8-bit interleaved layout (RGB or RGBA) for a deep one, and back.
heif_chroma deep_chroma(heif_chroma chroma_8bit);

// A new 8-bit interleaved RGB(A) image from an interleaved RRGGBB(AA)
// big-endian one of 9 to 16 bits: each sample v of b bits becomes
// round(v * 255 / (2^b - 1)). libheif's error on failure.
heif_error round_to_8bit(const heif_image* deep, heif_image** out);

// heif_decode_image to 8-bit interleaved RGB(A), rounded where the image
// has more than 8 bits.
heif_error decode_rounded(heif_image_handle* handle, heif_image** out, heif_chroma chroma_8bit,
                          const heif_decoding_options* options);
