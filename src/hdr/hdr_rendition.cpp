#include "hdr/hdr_rendition.h"

#include <algorithm>
#include <cmath>

namespace {

// BT.2100 PQ constants.
const double kM1 = 2610.0 / 16384, kM2 = 2523.0 / 4096 * 128;
const double kC1 = 3424.0 / 4096, kC2 = 2413.0 / 4096 * 32, kC3 = 2392.0 / 4096 * 32;
// BT.2100 HLG constants.
const double kHlgA = 0.17883277, kHlgB = 1 - 4 * kHlgA;
const double kHlgC = 0.5 - kHlgA * std::log(4 * kHlgA);

using Matrix = double[9];

void multiply(const double* a, const double* b, double* out) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[r * 3 + c] = a[r * 3] * b[c] + a[r * 3 + 1] * b[3 + c] + a[r * 3 + 2] * b[6 + c];
}

void invert(const double* m, double* out) {
  const double a = m[4] * m[8] - m[5] * m[7], b = m[5] * m[6] - m[3] * m[8], c = m[3] * m[7] - m[4] * m[6];
  const double det = m[0] * a + m[1] * b + m[2] * c;
  out[0] = a / det, out[1] = (m[2] * m[7] - m[1] * m[8]) / det, out[2] = (m[1] * m[5] - m[2] * m[4]) / det;
  out[3] = b / det, out[4] = (m[0] * m[8] - m[2] * m[6]) / det, out[5] = (m[2] * m[3] - m[0] * m[5]) / det;
  out[6] = c / det, out[7] = (m[1] * m[6] - m[0] * m[7]) / det, out[8] = (m[0] * m[4] - m[1] * m[3]) / det;
}

// RGB to XYZ for primaries given as xy chromaticities (r, g, b) and D65.
void rgb_to_xyz(const double xy[6], double* out) {
  const double wx = 0.3127, wy = 0.3290;
  Matrix p;
  for (int i = 0; i < 3; ++i) {
    const double x = xy[2 * i], y = xy[2 * i + 1];
    p[i] = x / y, p[3 + i] = 1, p[6 + i] = (1 - x - y) / y;
  }
  Matrix inv;
  invert(p, inv);
  const double white[3] = {wx / wy, 1, (1 - wx - wy) / wy};
  for (int i = 0; i < 3; ++i) {
    const double s = inv[i * 3] * white[0] + inv[i * 3 + 1] * white[1] + inv[i * 3 + 2] * white[2];
    for (int r = 0; r < 3; ++r) out[r * 3 + i] = p[r * 3 + i] * s;
  }
}

struct Bt2020Matrices {
  Matrix from709, fromP3, to709, toP3, identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  Bt2020Matrices() {
    const double bt709[6] = {0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
    const double p3[6] = {0.680, 0.320, 0.265, 0.690, 0.150, 0.060};
    const double bt2020[6] = {0.708, 0.292, 0.170, 0.797, 0.131, 0.046};
    Matrix to_xyz, from_xyz, m;
    rgb_to_xyz(bt2020, m);
    invert(m, from_xyz);
    rgb_to_xyz(bt709, to_xyz);
    multiply(from_xyz, to_xyz, from709);
    rgb_to_xyz(p3, to_xyz);
    multiply(from_xyz, to_xyz, fromP3);
    invert(from709, to709);
    invert(fromP3, toP3);
  }
};

const Bt2020Matrices& matrices() {
  static const Bt2020Matrices m;
  return m;
}

}  // namespace

double srgb_to_linear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

double bt709_to_linear(double v) { return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45); }

double pq_eotf(double signal) {
  const double e = std::pow(std::clamp(signal, 0.0, 1.0), 1 / kM2);
  return 10000 * std::pow(std::max(e - kC1, 0.0) / (kC2 - kC3 * e), 1 / kM1);
}

double pq_inverse_eotf(double nits) {
  const double y = std::pow(std::clamp(nits / 10000, 0.0, 1.0), kM1);
  return std::pow((kC1 + kC2 * y) / (1 + kC3 * y), kM2);
}

double hlg_inverse_oetf(double signal) {
  const double e = std::clamp(signal, 0.0, 1.0);
  return e <= 0.5 ? e * e / 3 : (std::exp((e - kHlgC) / kHlgA) + kHlgB) / 12;
}

void hlg_ootf(float* rgb, size_t pixels, double peak_nits) {
  const double gamma = 1.2 + 0.42 * std::log10(peak_nits / 1000);
  for (size_t i = 0; i < pixels; ++i, rgb += 3) {
    const double ys = 0.2627 * rgb[0] + 0.6780 * rgb[1] + 0.0593 * rgb[2];
    const double scale = ys > 0 ? peak_nits * std::pow(ys, gamma - 1) : 0;
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<float>(scale * rgb[c]);
  }
}

const double* bt2020_matrix(Primaries from) {
  const Bt2020Matrices& m = matrices();
  return from == Primaries::Bt709 ? m.from709 : from == Primaries::DisplayP3 ? m.fromP3 : m.identity;
}

namespace {

void transform(const double* d, float* rgb, size_t pixels) {
  float m[9];
  for (int i = 0; i < 9; ++i) m[i] = static_cast<float>(d[i]);
  for (size_t i = 0; i < pixels; ++i, rgb += 3) {
    const float r = rgb[0], g = rgb[1], b = rgb[2];
    rgb[0] = m[0] * r + m[1] * g + m[2] * b;
    rgb[1] = m[3] * r + m[4] * g + m[5] * b;
    rgb[2] = m[6] * r + m[7] * g + m[8] * b;
  }
}

}  // namespace

void to_bt2020(Primaries from, float* rgb, size_t pixels) {
  if (from != Primaries::Bt2020) transform(bt2020_matrix(from), rgb, pixels);
}

void from_bt2020(Primaries to, float* rgb, size_t pixels) {
  const Bt2020Matrices& m = matrices();
  if (to != Primaries::Bt2020) transform(to == Primaries::Bt709 ? m.to709 : m.toP3, rgb, pixels);
}

double gain_map_weight(const GainMapMetadata& md, double display_headroom) {
  const double base = md.base_headroom.value(), alternate = md.alternate_headroom.value();
  if (alternate == base) return 0;
  return std::clamp((display_headroom - base) / (alternate - base), 0.0, 1.0);
}

GainMapApplier::GainMapApplier(const GainMap& map, const GainMapMetadata& md, double weight, int base_width,
                               int base_height)
    : map_(map), width_(base_width), height_(base_height) {
  for (int c = 0; c < 3; ++c) {
    const GainMapChannel& ch = md.channel[md.multichannel ? c : 0];
    offset_sdr_[c] = static_cast<float>(ch.base_offset.value());
    offset_hdr_[c] = static_cast<float>(ch.alternate_offset.value());
    const double lo = ch.min.value(), hi = ch.max.value(), gamma = ch.gamma.value();
    for (int v = 0; v < 256; ++v) {
      const double s = v / 255.0, shaped = gamma == 1 ? s : std::pow(s, 1 / gamma);
      log_gain_[c][v] = static_cast<float>((lo + (hi - lo) * shaped) * weight);
    }
  }
  // Column positions: base pixel centres on the map's sample grid.
  x0_.resize(size_t(base_width));
  fx_.resize(size_t(base_width));
  for (int x = 0; x < base_width; ++x) {
    const double at = std::clamp((x + 0.5) * map.width / base_width - 0.5, 0.0, double(map.width - 1));
    x0_[size_t(x)] = std::min(static_cast<int>(at), map.width - 1);
    fx_[size_t(x)] = static_cast<float>(at - x0_[size_t(x)]);
  }
  row_gain_.resize(size_t(map.width) * 3);
}

void GainMapApplier::apply_row(float* rgb, int y) {
  const int n = map_.channels;
  const double at = std::clamp((y + 0.5) * map_.height / height_ - 0.5, 0.0, double(map_.height - 1));
  const int y0 = std::min(static_cast<int>(at), map_.height - 1), y1 = std::min(y0 + 1, map_.height - 1);
  const float fy = static_cast<float>(at - y0);
  const uint8_t* top = map_.pixels.data() + size_t(y0) * map_.width * n;
  const uint8_t* bottom = map_.pixels.data() + size_t(y1) * map_.width * n;
  // The map's row at y, per channel, in log gains.
  for (int x = 0; x < map_.width; ++x) {
    for (int c = 0; c < 3; ++c) {
      const int k = n == 3 ? c : 0;
      const float a = log_gain_[c][top[x * n + k]], b = log_gain_[c][bottom[x * n + k]];
      row_gain_[size_t(x) * 3 + c] = a + (b - a) * fy;
    }
  }
  const int last = map_.width - 1;
  for (int x = 0; x < width_; ++x, rgb += 3) {
    const int x0 = x0_[size_t(x)], x1 = std::min(x0 + 1, last);
    const float fx = fx_[size_t(x)];
    const float* left = &row_gain_[size_t(x0) * 3];
    const float* right = &row_gain_[size_t(x1) * 3];
    for (int c = 0; c < 3; ++c) {
      const float log_gain = left[c] + (right[c] - left[c]) * fx;
      const float hdr = (rgb[c] + offset_sdr_[c]) * std::exp2(log_gain) - offset_hdr_[c];
      rgb[c] = hdr > 0 ? hdr : 0;
    }
  }
}

void apply_gain_map(float* rgb, int first_row, int rows, int base_width, int base_height, const GainMap& map,
                    const GainMapMetadata& md, double weight) {
  GainMapApplier applier(map, md, weight, base_width, base_height);
  for (int r = 0; r < rows; ++r) applier.apply_row(rgb + size_t(r) * base_width * 3, first_row + r);
}
