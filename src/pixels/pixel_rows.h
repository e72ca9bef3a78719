// Checked copies out of libheif's planes, used by every part that reads
// decoded pixels.
#pragma once

#include <cstddef>
#include <cstring>

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
