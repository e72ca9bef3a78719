// Rows of pixels as the writers take them, and checked copies out of
// libheif's planes, used wherever decoded pixels are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct PixelRows {
  const uint8_t* pixels;
  size_t stride;  // bytes from one row to the next
  int width, height;
  int channels;   // 1 grey, 3 RGB, 4 RGBA
  int bit_depth;  // 8, or 16 (big-endian samples; PNG only)
};

// Rows handed over one at a time, top to bottom, by whoever has them; a
// null row stops the writer, which then fails.
struct PixelRowSource {
  const uint8_t* (*row)(void* state, int y);
  void* state;
};

// Whether a plane of this stride holds rows of row_len bytes.
inline bool plane_holds_rows(const void* plane, int stride, size_t row_len) {
  return plane != nullptr && stride >= 0 && static_cast<size_t>(stride) >= row_len;
}

// Copies `rows` rows of row_len bytes from a plane with the given stride into
// a packed destination. False (and nothing copied) when the stride is shorter
// than a row.
inline bool copy_plane_rows(unsigned char* dst, const unsigned char* plane, int stride, size_t row_len, int rows) {
  if (!plane_holds_rows(plane, stride, row_len)) return false;
  for (int y = 0; y < rows; ++y) {
    std::memcpy(dst, plane, row_len);
    dst += row_len;
    plane += stride;
  }
  return true;
}
