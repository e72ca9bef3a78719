// Thumbnails that always fit the box asked for (the tool's thumbnail and
// the thumbnailer entry): from an embedded thumbnail big enough, else from
// the primary image, reduced by area averaging.
#pragma once

#include <cstdint>

// Area averaging (a box filter over the stored, gamma-encoded samples):
// each output sample is the mean of the source area its pixel covers,
// source pixels cut by the area's edge weighted by their covered share.
// out_width <= width and out_height <= height.
void scale_area(const uint8_t* src, int stride, int width, int height, int channels, uint8_t* dst, int out_width,
                int out_height);

// Writes a thumbnail fitting box x box (aspect kept; a picture already
// inside the box keeps its size): the smallest embedded thumbnail whose
// long side reaches box, reduced; without one, the primary image, reduced.
// Format from the output extension, JPEG at quality 85. A whole call.
int thumbnail_fit(const char* in, const char* out, int box);
