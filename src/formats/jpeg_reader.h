// JPEG sources read by libjpeg-turbo straight into libheif YCbCr planes:
// the samples as stored, with no colour conversion or resampling, so the
// encoder neither loses precision in a round trip through RGB nor holds a
// full-size RGB copy of the picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/heif_holders.h"

// Decodes a JPEG held in memory whose samples are 8-bit YCbCr in 4:2:0,
// 4:2:2 or 4:4:4 into a new libheif image of the same layout, described as
// JPEG's own colours (BT.601 matrix, full range, sRGB). False, with nothing
// set, for any other JPEG, one whose header claims a side beyond 32768 or
// more pixels than its bytes could hold, or one libjpeg finds damaged (a
// warning counts): the caller then decodes through stb to RGB, which says why.
bool load_jpeg_ycbcr(const uint8_t* data, size_t size, ImageHolder* image);
