// Thumbnails: the file's embedded one, or the primary image reduced.
#pragma once

// The box of lumetra_thumbnail's reduced pictures.
constexpr int kThumbnailBox = 320;

// Output size of a non-embedded thumbnail: the image fits box x box as is,
// else it is reduced to fit with its aspect kept.
void thumbnail_size(int width, int height, int* out_width, int* out_height, int box = kThumbnailBox);

// Nearest-neighbour reduction anchored at each cell's top-left corner; reads
// only the sampled pixels.
void scale_nearest(const unsigned char* plane, int stride, int width, int height, int channels, unsigned char* dst,
                   int out_width, int out_height);

// lumetra_thumbnail with another box for the thumbnail made from the
// picture (an embedded one is still written at its own size). A whole call:
// checks its arguments, keeps exceptions in, sets or empties the last error.
int thumbnail_in_box(const char* in, const char* out, int box);
