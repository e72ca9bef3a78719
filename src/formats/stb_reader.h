// Raster sources (JPEG, PNG, BMP, GIF, PSD, PIC, PNM, TGA) read by
// stb_image for encoding, and the EXIF a JPEG source carries.
#pragma once

#include <cstddef>

#include "base/heif_holders.h"

// A raster source loaded by stb_image and brought to RGB or RGBA: the
// encoder's input. Owns its blocks; the converted buffer (grey sources) is
// released before the loaded block.
struct SourceImage {
  unsigned char* loaded = nullptr;     // stb_image's block
  unsigned char* converted = nullptr;  // grey expanded to RGB(A), or null
  const unsigned char* pixels = nullptr;
  int width = 0, height = 0;
  int bytes_per_pixel = 0;  // 3 (RGB) or 4 (RGBA), twice that for 16-bit samples
  int sample_bytes = 1;     // 2: native-endian 16-bit samples
  SourceImage() = default;
  ~SourceImage() { release(); }
  // Frees the pixels once they are copied into the encoder's image, so the
  // encode does not hold a second full-size copy.
  void release();
  SourceImage(const SourceImage&) = delete;
  SourceImage& operator=(const SourceImage&) = delete;
};

// Loads and normalises a source file; on failure sets the last-error text.
// keep_16: a 16-bit source (PNG, PNM) keeps its 16-bit samples.
bool load_source_image(const char* path, SourceImage* img, bool keep_16 = false);

// Reads a JPEG file and returns the EXIF block to hand to libheif: four zero
// bytes, then the TIFF data of the first APP1 "Exif\0\0" segment before SOS.
// The block is malloc'd and owned by the caller; false when there is none.
bool load_jpeg_exif_block(const char* path, unsigned char** block, size_t* size);

// The pixels turned and mirrored as EXIF orientation o (2-8) asks, into a
// new packed block; width and height swap for 5-8. False when out of memory.
bool turned_upright(const SourceImage& src, int o, HeapBlock* dst, int* out_w, int* out_h);
