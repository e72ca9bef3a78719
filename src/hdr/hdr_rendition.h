// HDR renditions in linear light: a gain map applied to its SDR base at a
// weight, the BT.2100 PQ and HLG transfer functions, the SDR transfers of
// a base picture, and linear RGB in BT.709 or Display P3 primaries brought
// to BT.2020. Pixels are interleaved RGB floats.
#pragma once

#include <cstddef>
#include <vector>

#include "hdr/gain_map.h"
#include "hdr/gain_map_metadata.h"

// SDR white in an HDR rendition (ITU-R BT.2408), cd/m².
const double kSdrWhiteNits = 203;
// The nominal peak HLG is displayed at, cd/m².
const double kHlgPeakNits = 1000;

// sRGB (IEC 61966-2-1): signal 0..1 to linear 0..1.
double srgb_to_linear(double signal);
// BT.709 (and BT.601, BT.2020 SDR) OETF inverted: signal 0..1 to linear 0..1.
double bt709_to_linear(double signal);

// BT.2100 PQ: signal 0..1 to cd/m² (0..10000), and cd/m² to signal.
double pq_eotf(double signal);
double pq_inverse_eotf(double nits);

// BT.2100 HLG: signal 0..1 to scene light 0..1 (the OETF inverted).
double hlg_inverse_oetf(double signal);
// The HLG OOTF for a display of this peak: scene light (BT.2020, 0..1) to
// display light in cd/m², in place, for `pixels` RGB triples.
void hlg_ootf(float* rgb, size_t pixels, double peak_nits);

enum class Primaries { Bt709, DisplayP3, Bt2020 };

// The 3 x 3 matrix (row-major) taking linear RGB in `from` to linear
// BT.2020 RGB, both D65; the identity for Bt2020.
const double* bt2020_matrix(Primaries from);
// Linear RGB in `from` to BT.2020, in place, and back.
void to_bt2020(Primaries from, float* rgb, size_t pixels);
void from_bt2020(Primaries to, float* rgb, size_t pixels);

// The gain map's weight for a display headroom (log2 of the display's peak
// over SDR white): 0 at or below the base's headroom, 1 at or above the
// alternate's, in between in proportion.
double gain_map_weight(const GainMapMetadata& md, double display_headroom);

// A gain map ready to apply to the rows of a base picture of base_width x
// base_height: hdr = (sdr + offset_sdr) * 2^(log_gain * weight) - offset_hdr
// in linear light (1 = SDR white), clamped at 0. The map is upsampled
// bilinearly, sample centre on sample centre, in the log-gain domain.
class GainMapApplier {
 public:
  GainMapApplier(const GainMap& map, const GainMapMetadata& md, double weight, int base_width, int base_height);
  // One row of the base (y in 0..base_height-1), base_width RGB triples of
  // linear SDR light, made the HDR rendition in place.
  void apply_row(float* rgb, int y);

 private:
  const GainMap& map_;
  int width_, height_;
  float offset_sdr_[3], offset_hdr_[3];
  float log_gain_[3][256];       // log2 gain times the weight, per map sample
  std::vector<int> x0_;          // left map sample of each base column
  std::vector<float> fx_;        // its share of the right one
  std::vector<float> row_gain_;  // the map's row at y, in log gains
};

// The whole of apply_row for a band of rows: `rows` rows of base_width
// RGB triples starting at base row first_row.
void apply_gain_map(float* rgb, int first_row, int rows, int base_width, int base_height, const GainMap& map,
                    const GainMapMetadata& md, double weight);
