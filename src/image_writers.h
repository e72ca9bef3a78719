// JPEG (libjpeg-turbo) and PNG (libpng) writers that carry a picture's
// ICC profile, EXIF and XMP. Both write to an open stream; false on any
// failure (the caller throws the file away).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "metadata.h"

struct jpeg_compress_struct;

struct PixelRows {
  const uint8_t* pixels;
  size_t stride;  // bytes from one row to the next
  int width, height;
  int channels;   // 3 RGB, 4 RGBA
  int bit_depth;  // 8, or 16 (big-endian samples; PNG only)
};

// EXIF and XMP each go in one APP1 segment or not at all: readers do not
// join split ones, and a segment holds at most this many bytes.
const size_t kJpegSegmentMax = 65533;

// 8-bit Y, Cb and Cr planes as libheif decodes them; chroma subsampled by
// 1 << shift in each direction (4:2:0: 1 and 1).
struct YcbcrPlanes {
  const uint8_t* plane[3];
  size_t stride[3];
  int width, height;
  int shift_x, shift_y;
};

// The picture's EXIF and XMP (APP1) and ICC profile (APP2), right after
// jpeg_start_compress; `segment` holds kJpegSegmentMax bytes. Other APP
// segments may follow before the first row.
void write_picture_markers(jpeg_compress_struct* cinfo, const PictureMetadata& md, uint8_t* segment);

bool write_jpeg_stream(FILE* out, const PixelRows& rows, int quality, const PictureMetadata& md);
// The same from YCbCr planes whose matrix and range are JPEG's own (BT.601,
// full range): no round trip through RGB.
bool write_jpeg_ycbcr_stream(FILE* out, const YcbcrPlanes& planes, int quality, const PictureMetadata& md);
bool write_png_stream(FILE* out, const PixelRows& rows, const PictureMetadata& md);

// Rows handed over one at a time, top to bottom, by whoever has them; a
// null row stops the writer, which then fails.
struct PixelRowSource {
  const uint8_t* (*row)(void* state, int y);
  void* state;
};
// write_png_stream's file from rows that need not all exist at once.
bool write_png_rows(FILE* out, int width, int height, int channels, int bit_depth, const PictureMetadata& md,
                    PixelRowSource source);
