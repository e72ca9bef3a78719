// Apple's HDR gain maps (iPhone 12 and later): hdr = sdr * (1 + (H - 1) * g)
// in linear light, g being the map's sample through the Rec. 709 transfer
// and H the photo's headroom. Re-expressed exactly in the ISO model by a
// table on the samples, so that ISO and Adobe readers render the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hdr/gain_map_metadata.h"

// H from the gain map's XMP (HDRGainMapHeadroom) or, for maps that carry
// only a version, from the maker note of the photo's EXIF (TIFF block).
// 0 when neither gives one.
double apple_headroom(const std::string& gain_map_xmp, const uint8_t* exif, size_t exif_size);

// Whether the XMP packet is Apple's HDRGainMap description.
bool is_apple_gain_map_xmp(const std::string& xmp);

// The ISO model that stands for Apple's at headroom H (> 1): no offsets,
// gamma 1, log gains from 0 to log2 H.
GainMapMetadata apple_iso_metadata(double headroom);

// table[v] is the ISO sample that gives Apple's gain for sample v under
// apple_iso_metadata(headroom).
void apple_iso_table(const GainMapMetadata& iso, double headroom, uint8_t table[256]);

// apple_iso_metadata(headroom), checked: false with *why when the headroom
// is none (H <= 1) or the model cannot be carried.
bool apple_iso_model(double headroom, GainMapMetadata* md, const char** why);

// A decoded Apple map's samples rewritten in place through apple_iso_table.
void apple_samples_to_iso(const GainMapMetadata& iso, double headroom, uint8_t* samples, size_t count);
