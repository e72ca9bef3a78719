// Reading integers out of byte buffers: big-endian (ICC profiles, boxes)
// and TIFF structures of either byte order (EXIF, MPF).
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Bounded big- or little-endian reads inside one block of TIFF structure.
struct TiffReader {
  const uint8_t* p;
  size_t size;
  bool big;
  bool has(size_t at, size_t n) const { return at <= size && n <= size - at; }
  uint32_t u16(size_t at) const { return big ? uint32_t(p[at]) << 8 | p[at + 1] : uint32_t(p[at + 1]) << 8 | p[at]; }
  uint32_t u32(size_t at) const {
    return big ? be32(p + at)
               : uint32_t(p[at + 3]) << 24 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 1]) << 8 | p[at];
  }
  // The entry for tag in the IFD at ifd (at most 1024 entries looked at):
  // its offset, or 0.
  size_t entry(size_t ifd, uint32_t tag) const {
    if (!has(ifd, 2)) return 0;
    const uint32_t count = u16(ifd);
    for (uint32_t i = 0; i < count && i < 1024; ++i) {
      const size_t e = ifd + 2 + 12 * size_t(i);
      if (!has(e, 12)) return 0;
      if (u16(e) == tag) return e;
    }
    return 0;
  }
};
