// An item's transformation properties (irot, imir, clap) read into one
// Orientation, for every path that turns pixels itself: the whole image,
// grid bands, auxiliary images and gain maps.
#pragma once

#include <libheif/heif.h>

#include "pixels/orientation.h"

// The most transformation properties an item may carry. An item with more
// is refused on every path: a list cut short would turn the picture
// wrongly.
const int kMaxTransformations = 16;

// The text a path that reports errors in words gives for such an item.
extern const char kTooManyTransformations[];

// The item's transformations in property order, applied to a picture of
// width x height, each crop's borders taken from the picture as it is at
// that step; *count (when asked) is how many properties there are. False
// (out untouched) for more than kMaxTransformations; check out->valid()
// for a crop that leaves nothing.
bool read_transformations(heif_context* ctx, heif_item_id item, int width, int height, Orientation* out,
                          int* count = nullptr);
