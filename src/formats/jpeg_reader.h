// JPEG sources read by libjpeg-turbo straight into libheif YCbCr planes:
// the samples as stored, with no colour conversion or resampling, so the
// encoder neither loses precision in a round trip through RGB nor holds a
// full-size RGB copy of the picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/heif_holders.h"

// Decodes a JPEG held in memory whose samples are 8-bit YCbCr in 4:2:0,
// 4:2:2 or 4:4:4 into a new libheif image of the same layout, described as
// JPEG's own colours (BT.601 matrix, full range, sRGB). False, with nothing
// set, for any other JPEG, one whose header claims a side beyond 32768 or
// more pixels than its bytes could hold, or one libjpeg finds damaged (a
// warning counts): the caller then decodes through stb to RGB, which says why.
bool load_jpeg_ycbcr(const uint8_t* data, size_t size, ImageHolder* image);

// A JPEG's size and number of components from its header; false when
// libjpeg cannot read the header or the JPEG is not of 8-bit samples.
bool read_jpeg_size(const uint8_t* data, size_t size, int* width, int* height, int* components);

// Decodes an 8-bit JPEG into packed rows of `channels` samples (1: grey, 3:
// RGB) through libjpeg's own colour conversion. False, with *pixels left
// empty, for a JPEG of more than max_pixels pixels, of a side beyond 32768,
// claiming more pixels than its bytes could hold, or that libjpeg finds
// damaged (a warning counts).
bool load_jpeg_8bit(const uint8_t* data, size_t size, int channels, uint64_t max_pixels, std::vector<uint8_t>* pixels,
                    int* width, int* height);
