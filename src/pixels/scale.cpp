#include "pixels/scale.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

struct Tap {
  int source;
  float weight;
};

// For each of n output pixels over `size` source pixels: the source pixels
// it covers and their shares, in exact integer units (size * n per span).
std::vector<std::vector<Tap>> taps(int size, int n) {
  std::vector<std::vector<Tap>> out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const int64_t lo = int64_t(i) * size, hi = int64_t(i + 1) * size;  // in 1/n source pixels
    for (int64_t j = lo / n; j * n < hi; ++j) {
      const int64_t from = lo > j * n ? lo : j * n;
      const int64_t to = hi < (j + 1) * n ? hi : (j + 1) * n;
      if (to > from) out[static_cast<size_t>(i)].push_back({static_cast<int>(j), float(double(to - from) / size)});
    }
  }
  return out;
}

}  // namespace

void scale_nearest(const unsigned char* plane, int stride, int width, int height, int channels, unsigned char* dst,
                   int out_width, int out_height) {
  for (int y = 0; y < out_height; ++y) {
    const int64_t sy = int64_t(y) * height / out_height;
    const unsigned char* src_row = plane + sy * stride;
    for (int x = 0; x < out_width; ++x) {
      const int64_t sx = int64_t(x) * width / out_width;
      std::memcpy(dst, src_row + sx * channels, static_cast<size_t>(channels));
      dst += channels;
    }
  }
}

void scale_area(const uint8_t* src, int stride, int width, int height, int channels, uint8_t* dst, int out_width,
                int out_height) {
  const std::vector<std::vector<Tap>> across = taps(width, out_width), down = taps(height, out_height);
  const size_t row_len = static_cast<size_t>(out_width) * channels;
  std::vector<float> rows(static_cast<size_t>(height) * row_len);  // each source row narrowed
  for (int y = 0; y < height; ++y) {
    const uint8_t* s = src + static_cast<size_t>(y) * stride;
    float* r = rows.data() + static_cast<size_t>(y) * row_len;
    for (int x = 0; x < out_width; ++x) {
      for (int c = 0; c < channels; ++c) {
        float sum = 0;
        for (const Tap& t : across[static_cast<size_t>(x)]) sum += t.weight * s[t.source * channels + c];
        r[x * channels + c] = sum;
      }
    }
  }
  std::vector<float> acc(row_len);
  for (int y = 0; y < out_height; ++y) {
    std::fill(acc.begin(), acc.end(), 0.0f);
    for (const Tap& t : down[static_cast<size_t>(y)]) {
      const float* r = rows.data() + static_cast<size_t>(t.source) * row_len;
      for (size_t i = 0; i < row_len; ++i) acc[i] += t.weight * r[i];
    }
    uint8_t* d = dst + static_cast<size_t>(y) * row_len;
    for (size_t i = 0; i < row_len; ++i) {
      const float v = acc[i] + 0.5f;
      d[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
}
