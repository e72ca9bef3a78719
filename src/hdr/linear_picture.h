// A HEIF picture as the HDR code reads it: how its samples are coded (PQ,
// HLG or an SDR transfer) and in which primaries (its nclx, or its ICC
// profile's colorants), decoded upright to interleaved RGB(A) at its own
// depth, with each sample value's linear light.
#pragma once

#include <cstdint>
#include <vector>

#include <libheif/heif.h>

#include "base/heif_holders.h"
#include "hdr/hdr_rendition.h"

enum class HdrCoding { None, Pq, Hlg };

struct PictureColour {
  HdrCoding coding = HdrCoding::None;
  Primaries primaries = Primaries::Bt709;
  bool bt709_transfer = false;  // an SDR picture coded with BT.709's transfer rather than sRGB's
};

PictureColour colour_of(heif_image_handle* image);

struct DecodedPicture {
  ImageHolder image;
  const uint8_t* plane = nullptr;
  int stride = 0, width = 0, height = 0, channels = 3, bits = 8;

  const uint8_t* row(int y) const { return plane + size_t(y) * stride; }
  // Sample i of a row, never above `top` whatever the decoder left there.
  unsigned sample(const uint8_t* row, int i, unsigned top) const {
    const unsigned v = bits > 8 ? unsigned(row[2 * i]) << 8 | row[2 * i + 1] : row[i];
    return v < top ? v : top;
  }
};

// Decodes the image upright, 16-bit big-endian above 8 bits; on failure
// sets the last-error text and returns false.
bool decode_picture(heif_context* ctx, heif_image_handle* handle, DecodedPicture* out);

// Each sample value's light, for `bits`-bit samples: cd/m² for PQ, scene
// light (0..1) for HLG, otherwise SDR light with 1 as SDR white.
std::vector<float> linear_table(const PictureColour& colour, int bits);

// Row y as light relative to SDR white (203 cd/m²) in BT.2020 primaries:
// PQ by its own transfer, HLG displayed at 1000 cd/m², an SDR-coded
// picture as it is. `applier`, when given, acts first, in the picture's
// own primaries (its weight says which rendition it leads to). `linear` is
// linear_table's; rgb holds width RGB triples.
void relative_light_row(const DecodedPicture& picture, const PictureColour& colour, const std::vector<float>& linear,
                        GainMapApplier* applier, int y, float* rgb);
