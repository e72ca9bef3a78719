// Reducing packed 8-bit pixels (1-4 interleaved samples a pixel) to a
// smaller size.
#pragma once

#include <cstdint>

// Nearest-neighbour reduction anchored at each cell's top-left corner; reads
// only the sampled pixels.
void scale_nearest(const unsigned char* plane, int stride, int width, int height, int channels, unsigned char* dst,
                   int out_width, int out_height);

// Area averaging (a box filter over the stored, gamma-encoded samples):
// each output sample is the mean of the source area its pixel covers,
// source pixels cut by the area's edge weighted by their covered share.
// out_width <= width and out_height <= height.
void scale_area(const uint8_t* src, int stride, int width, int height, int channels, uint8_t* dst, int out_width,
                int out_height);
