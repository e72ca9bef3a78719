// Finding a HEIF image's HDR gain map and decoding it, upright and lined
// up with the image, with its metadata in the ISO model.
#pragma once

#include <string>

#include <libheif/heif.h>

#include "hdr/gain_map_metadata.h"

enum class GainMapKind { None, Iso21496, Apple, HdrgmXmp };

struct GainMapFacts {
  GainMapKind kind = GainMapKind::None;
  heif_item_id item = 0;
  double headroom = 0;       // linear ratio of the HDR peak over SDR white, e.g. 2.68
  bool base_is_hdr = false;  // the picture itself is the HDR rendition, the map leads to the SDR one
  std::string unusable;      // why a conversion cannot keep it; empty when it can
};

// What kind of gain map the image has and its headroom, without decoding
// it; for one whose metadata a conversion cannot use, why (the reason
// load_gain_map gives). None when it has none. Never throws.
GainMapFacts describe_gain_map(heif_context* ctx, heif_image_handle* image);

// "iso21496", "apple", "hdrgm-xmp"; nullptr for None.
const char* gain_map_kind_name(GainMapKind kind);

struct GainMap {
  GainMapKind kind = GainMapKind::None;
  GainMapMetadata metadata;  // ISO model; Apple maps already re-expressed in it; the base may be the HDR one
  ByteBlock pixels;          // 8-bit, packed rows, channels per pixel
  int width = 0, height = 0, channels = 0;
};

// The image's gain map, decoded. True with kind None when there is none;
// false when there is one that cannot be kept faithfully (*why says why).
bool load_gain_map(heif_context* ctx, heif_image_handle* image, GainMap* out, std::string* why);

// Turns and mirrors the map as EXIF orientation o (2-8) asks of its
// picture; 0 and 1 leave it.
void turn_gain_map(int o, GainMap* map);

// Whether a map of this size can stand for a picture of that size: no
// larger on either side, and of the same shape within 2 %.
bool gain_map_lines_up(int map_width, int map_height, int width, int height);
