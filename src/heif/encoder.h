// Writing HEIF files: a packed raster as a libheif image, an encoder, and
// the one encode-and-write path of lumetra_from_image and the faithful
// encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <libheif/heif.h>

#include "base/heif_holders.h"

// A new interleaved 8-bit RGB(A) libheif image holding a packed raster; on
// failure the last-error text is set.
bool fill_heif_image(const unsigned char* pixels, int w, int h, int bytes_per_pixel, ImageHolder* image);

// The same from native-endian 16-bit samples (3 or 4 a pixel), kept as
// 10-bit samples: their top 10 bits.
bool fill_heif_image_10bit(const uint16_t* pixels, int w, int h, int channels, ImageHolder* image);

// Whether libheif can encode a thumbnail of this image in a box of
// `box` pixels without crashing (short side of at least 2 pixels).
bool thumbnail_encodable(int width, int height, int box);

// libheif's encoder for `codec`, set to `quality` (libheif's 0-100 scale).
// False, with no text set, when libheif has none.
bool heif_encoder_for(heif_context* ctx, heif_compression_format codec, int quality, EncoderHolder* encoder);

// heif_context_encode_image with default options, but an image described
// by nclx alone whose nclx says more than sRGB (PQ, HLG, wide primaries)
// keeps it in the file: libheif writes no nclx box unless asked.
heif_error encode_keeping_colour(heif_context* ctx, heif_image* image, heif_encoder* encoder, heif_image_handle** out);

// A metadata block stored with the primary image; size 0: none.
struct MetadataBlock {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// What a HEIF output carries beside its primary image (auxiliary images, a
// gain map): added to the context once the primary is encoded, then given
// the written file's bytes before they are committed, for the boxes
// libheif cannot write.
class HeifAddition {
 public:
  virtual ~HeifAddition() = default;
  // False with the last-error text set fails the conversion.
  virtual bool add(heif_context* ctx, heif_image_handle* primary, heif_encoder* encoder) = 0;
  // Null, or why the file cannot be completed.
  virtual const char* finish(std::vector<uint8_t>* file) {
    (void)file;
    return nullptr;
  }
};

// Encodes image as ctx's primary image, adds its EXIF and XMP blocks, the
// additions and the encoder's 160-pixel thumbnail (where both sides reach
// the box and libheif can make it; the thumbnail never fails the call), and
// writes the file to out. False with the last-error text set.
bool encode_heif_file(heif_context* ctx, heif_encoder* encoder, heif_image* image, MetadataBlock exif,
                      MetadataBlock xmp, const char* out, const std::vector<HeifAddition*>& additions = {});
