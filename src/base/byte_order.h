// Reading big-endian integers out of byte buffers (ICC profiles, boxes).
#pragma once

#include <cstdint>

inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
