// The HDR gain map of a JPEG source, found through the file's MPF index:
// an Ultra HDR JPEG's (the map's ISO 21496-1 APP2 record, else its hdrgm
// XMP) or an Apple gain-map JPEG's (Apple's HDRGainMap XMP, the headroom
// from it or from the primary's maker note, re-expressed in the ISO model).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hdr/gain_map.h"

// The map at its own size (no larger than the picture, of its shape), 8-bit,
// one channel or three (a colour map, or metadata per channel), lined up
// with the primary JPEG's pixels as stored: a caller that turns the picture
// by its EXIF orientation turns the map the same way. True with kind None
// when the file has no gain map (or only a damaged index and no sign of
// HDR); false with *why when it has one that cannot be used. Every offset
// of the index is checked against the bytes; nothing is read beyond them.
bool load_jpeg_gain_map(const uint8_t* jpeg, size_t size, GainMap* out, std::string* why);
