// Raster → HEIF encoding for lumetra_from_image, and the steps the faithful
// conversion shares with it.
#pragma once

#include <cstdint>

#include <libheif/heif.h>

#include "base/heif_holders.h"

// A new interleaved 8-bit RGB(A) libheif image holding a packed raster; on
// failure the last-error text is set.
bool fill_heif_image(const unsigned char* pixels, int w, int h, int bytes_per_pixel, ImageHolder* image);

// The same from native-endian 16-bit samples (3 or 4 a pixel), kept as
// 10-bit samples: their top 10 bits.
bool fill_heif_image_10bit(const uint16_t* pixels, int w, int h, int channels, ImageHolder* image);

// The encoder's 160-pixel thumbnail of a w x h primary, where both sides
// reach the box and libheif can make it; nothing otherwise (optional).
void add_encoder_thumbnail(heif_context* ctx, heif_image* image, heif_image_handle* primary, heif_encoder* encoder,
                           int w, int h);

// Whether libheif can encode a thumbnail of this image in a box of
// `box` pixels without crashing (short side of at least 2 pixels).
bool thumbnail_encodable(int width, int height, int box);

// lumetra_from_image as a whole call: checks its arguments, keeps
// exceptions in, sets or empties the last-error text.
int encode_from_image(const char* in, const char* out, int quality);
