#include "formats/jpeg_quality.h"

#include <cstdlib>

namespace {

// The example tables of the JPEG standard (Annex K), in natural order: what
// libjpeg scales by its quality setting.
const uint16_t kLuminance[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                 14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                 18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const uint16_t kChrominance[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                   24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// Natural-order position of each coefficient as DQT stores them (zigzag).
const uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                             41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                             30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// libjpeg's jpeg_quality_scaling and jpeg_add_quant_table (baseline).
int scaled(uint16_t standard, int quality) {
  const long scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  long v = (long(standard) * scale + 50) / 100;
  return int(v < 1 ? 1 : v > 255 ? 255 : v);
}

}  // namespace

int estimate_jpeg_quality(const uint8_t* data, size_t size) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  uint16_t tables[2][64];
  bool have[2] = {false, false};
  size_t p = 2;
  while (p + 4 <= size && data[p] == 0xFF) {
    const uint8_t marker = data[p + 1];
    if (marker == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;
    const size_t length = size_t(data[p + 2]) << 8 | data[p + 3];
    if (length < 2 || length > size - p - 2) break;
    if (marker == 0xDB) {
      // One segment may hold several tables: Pq/Tq, then 64 values of 8 or 16 bits.
      size_t q = p + 4;
      const size_t end = p + 2 + length;
      while (q < end) {
        const int precision = data[q] >> 4, id = data[q] & 15;
        const size_t bytes = precision ? 128 : 64;
        if (bytes > end - q - 1) break;
        if (id < 2) {
          for (int k = 0; k < 64; ++k) {
            tables[id][kZigzag[k]] =
                precision ? uint16_t(data[q + 1 + 2 * k] << 8 | data[q + 2 + 2 * k]) : data[q + 1 + k];
          }
          have[id] = true;
        }
        q += 1 + bytes;
      }
    }
    p += 2 + length;
  }
  if (!have[0]) return 0;
  int best = 0;
  long best_error = -1;
  for (int quality = 1; quality <= 100; ++quality) {
    long error = 0;
    for (int i = 0; i < 64; ++i) {
      error += std::labs(long(tables[0][i]) - scaled(kLuminance[i], quality));
      if (have[1]) error += std::labs(long(tables[1][i]) - scaled(kChrominance[i], quality));
    }
    if (best_error < 0 || error < best_error) best = quality, best_error = error;
  }
  return best;
}
